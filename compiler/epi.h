// Rule-set bit vectors: one bit per rule, length chosen at run time.
//
// Bit i is bit (i mod 8) of byte i / 8; byte 0 is the least significant byte of the unsigned integer the
// vector stands for, which gives the three-way order of zel_epi_cmp. Storage is in 64-bit words (byte b
// lives in word b / 8 at bits 8 * (b mod 8)), so bulk operations run a word at a time.
#pragma once

#include <cstdint>

struct epi {
    int32_t nbits;
    uint16_t ndigits;  // bytes: ceil(nbits / 8)
    uint16_t nwords;   // 64-bit words: ceil(nbits / 64)
    uint64_t *w;
};

epi *epi_new(int32_t nbits);  // zero-filled; nullptr when out of memory or nbits out of range
epi *epi_dup(const epi *v);
void epi_free(epi *v);
int32_t epi_nbits(const epi *v);
int epi_get_bit(const epi *v, int32_t pos);
void epi_set_bit(epi *v, int32_t pos, int value);  // 1 sets, anything else clears
// Lowest set bit into *pos (nbits when none); returns 1 when found.
int epi_first_set(const epi *v, int32_t *pos);
uint8_t epi_get_digit(const epi *v, uint32_t byte_pos);
void epi_set_digit(epi *v, uint32_t byte_pos, uint8_t value);
void epi_and(epi *z, const epi *x, const epi *y);  // over z's bytes only
void epi_or(epi *z, const epi *x, const epi *y);
void epi_print(const epi *v);  // '1'/'0' per bit, bit 0 first, then a newline, to stdout

// Three-way unsigned compare of two vectors of equal ndigits.
int zel_epi_cmp(const epi *x, const epi *y);
// Compare for ordered maps keyed by epi pointers: -1, 0, 1.
int zel_epi_key_cmp(const void *x, const void *y);

int ceil_div(int a, int b);  // 0 when b is 0

// Word-level helpers for hot loops (same layout as epi::w).
inline uint32_t epi_words_for(int32_t nbits) { return static_cast<uint32_t>((nbits + 63) / 64); }
int epi_words_cmp(const uint64_t *x, const uint64_t *y, uint32_t nwords);
