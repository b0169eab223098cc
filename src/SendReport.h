#pragma once

#include <cstdint>

// Reads the report file `fileName` whole, compresses it with zlib and hands
// back the report frame: four bytes of big-endian report size, then the zlib
// stream. On return `*frame` is a malloc'd block owned by the caller (release
// it with free) and `frameLength` is the number of bytes of it that make up
// the frame.
//
// It returns only with a complete frame. On any failure it writes one line
// naming the path to standard error and ends the process with status 1.
void getCompressedBuffer(const char* fileName, unsigned char** frame, std::uint64_t& frameLength);
