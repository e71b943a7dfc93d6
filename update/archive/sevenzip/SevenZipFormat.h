#ifndef VELTORA_SEVENZIPFORMAT_H
#define VELTORA_SEVENZIPFORMAT_H

// The property ids of a 7z index, for its reader and the release tool's writer.
namespace SevenZipFormat {

enum PropertyId : char {
    kEnd = 0x00,
    kHeader = 0x01,
    kArchiveProperties = 0x02,
    kAdditionalStreamsInfo = 0x03,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnpackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCrc = 0x0A,
    kFolder = 0x0B,
    kCodersUnpackSize = 0x0C,
    kNumUnpackStream = 0x0D,
    kEmptyStream = 0x0E,
    kEmptyFile = 0x0F,
    kAnti = 0x10,
    kName = 0x11,
    kMTime = 0x14,
    kWinAttributes = 0x15,
    kEncodedHeader = 0x17,
};

// Bytes before the packed streams: signature, version, start header.
const long long signatureHeaderSize = 32;

} // namespace SevenZipFormat

#endif
