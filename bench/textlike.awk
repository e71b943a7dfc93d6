# textlike.awk -v SEED=N -v BYTES=N: about BYTES bytes of text-like lines (words of a fixed vocabulary)
BEGIN {
    srand(SEED + 0)
    for (i = 0; i < 4000; i++) {
        w = ""; n = 2 + int(rand() * 9)
        for (k = 0; k < n; k++) w = w sprintf("%c", 97 + int(rand() * 26))
        vocab[i] = w
    }
    total = 0
    while (total < BYTES) {
        line = ""; n = 4 + int(rand() * 14)
        for (k = 0; k < n; k++) { r = rand(); line = line (k ? " " : "") vocab[int(r * r * 4000)] }
        line = line "."
        print line; total += length(line) + 1
    }
}
