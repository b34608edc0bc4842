#ifndef TOLVANE_CRC32_H
#define TOLVANE_CRC32_H

// Standard reflected CRC-32 (IEEE 802.3, polynomial 0x04C11DB7 processed as
// 0xEDB88320, initial register 0xFFFFFFFF, final complement; check value of
// "123456789" is 0xCBF43926) on a caller-held register.

void clearCRC32(unsigned int* crc);
// Feeds length bytes into the register; length <= 0 leaves it unchanged.
void addCrc32b(unsigned int* crc, const char* data, int length);
// The same register update through simpler formulations that give identical
// results: one byte at a time through the single 256-entry table, and eight
// bytes at a time through eight tables (addCrc32b's fallback when the CPU
// has no carry-less multiply). Kept to check and measure addCrc32b against.
void addCrc32bBytewise(unsigned int* crc, const char* data, int length);
void addCrc32bSliced(unsigned int* crc, const char* data, int length);
// Stores the complement of the register in result; the register is unchanged.
void getCRC32(unsigned int* result, const unsigned int* crc);

#endif
