// The -lh5- compressor of the LHA format: LZSS over an 8 KiB window, the matches and literals
// coded with canonical Huffman codes sent in blocks, every code at most 16 bits long.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norv::platform::lha {

// CRC-16/ARC (polynomial 0x8005 reflected, initial 0), as LHA stores for data and headers.
uint16_t Crc16(std::string_view data, uint16_t crc = 0);

// The -lh5- coding of `data`, whatever its size: positions are 64-bit and the match tables
// have a fixed size, so memory beyond the output does not grow with the input.
std::string CompressLh5(std::string_view data);

}  // namespace norv::platform::lha
