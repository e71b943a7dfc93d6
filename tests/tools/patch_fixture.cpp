// Built twice with a different FIXTURE_VERSION, giving two real binaries that differ
// by a small source change, for the patch round trips.
#include <cstdio>
#include <cstring>

static int checksum(const char *text)
{
    int sum = 0;
    for (size_t i = 0; i < std::strlen(text); ++i)
        sum = sum * 31 + text[i];
#if FIXTURE_VERSION > 1
    sum ^= 0x5a5a;
#endif
    return sum;
}

int main(int argc, char **argv)
{
    std::printf("fixture version %d: %d\n", FIXTURE_VERSION, checksum(argc > 1 ? argv[1] : "none"));
    return 0;
}
