// The store file checksum: a 32-bit CRC with the generator 0x04C11DB7 whose
// message bits enter at the low end of a zero register, with no reflection,
// no final exclusive-or and no appended zero bits. The first four bytes thus
// pass into the register unchanged ("abc" gives 0x00616263), and the values
// differ from the usual table-driven CRC-32. They are part of the file format.
#ifndef VARNO_STOREFORMAT_CHECKSUM_H_
#define VARNO_STOREFORMAT_CHECKSUM_H_

#include <cstdint>

// Stores the checksum of `length` bytes at `data` in *result. Length 0 gives 0.
void store_file_checksum(const void* data, uint32_t length, uint32_t* result);

// The same value from 16-byte slices of tables; store_file_checksum uses it
// where the processor has no carry-less multiplication, and for short data.
uint32_t store_file_checksum_sliced(const void* data, uint32_t length);

// The bit-by-bit definition, kept as the reference the fast form must match.
uint32_t store_file_checksum_reference(const void* data, uint32_t length);

#endif  // VARNO_STOREFORMAT_CHECKSUM_H_
