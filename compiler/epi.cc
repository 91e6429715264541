#include "compiler/epi.h"

#include "common/zel_log.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

// Mask of the first nbytes bytes of a word (nbytes 1 ... 8).
inline uint64_t byte_mask(uint32_t nbytes) { return nbytes >= 8 ? ~0ull : (1ull << (8 * nbytes)) - 1; }

// Mask of the bytes of the last word that belong to a vector of ndigits bytes.
inline uint64_t last_word_mask(uint32_t ndigits) { return byte_mask(ndigits - (ndigits - 1) / 8 * 8); }

}  // namespace

int ceil_div(int a, int b)
{
    if (b == 0)
        return 0;
    return a / b + (a % b > 0 ? 1 : 0);
}

epi *epi_new(int32_t nbits)
{
    if (nbits < 0 || ceil_div(nbits, 8) > 0xFFFF)
        return nullptr;
    auto *v = new (std::nothrow) epi{};
    if (!v)
        return nullptr;
    v->nbits = nbits;
    v->ndigits = static_cast<uint16_t>(ceil_div(nbits, 8));
    v->nwords = static_cast<uint16_t>(epi_words_for(nbits));
    v->w = new (std::nothrow) uint64_t[v->nwords]();
    if (!v->w) {
        delete v;
        return nullptr;
    }
    return v;
}

epi *epi_dup(const epi *v)
{
    epi *d = epi_new(v->nbits);
    if (d)
        memcpy(d->w, v->w, v->nwords * sizeof(uint64_t));
    return d;
}

void epi_free(epi *v)
{
    if (!v)
        return;
    delete[] v->w;
    delete v;
}

int32_t epi_nbits(const epi *v) { return v->nbits; }

// A negative position is as far out of range as one past nbits: one unsigned compare refuses both, with
// the invariant's text.
#define EPI_BIT_IN_RANGE(v, pos)                                                                                       \
    ZEL_INVARIANT("epi", "bitPos < pVal->nbits", static_cast<uint32_t>(pos) < static_cast<uint32_t>((v)->nbits))

int epi_get_bit(const epi *pVal, int32_t bitPos)
{
    ZEL_ASSERT(pVal);
    EPI_BIT_IN_RANGE(pVal, bitPos);
    return static_cast<int>((pVal->w[bitPos / 64] >> (bitPos % 64)) & 1);
}

void epi_set_bit(epi *pVal, int32_t bitPos, int value)
{
    ZEL_ASSERT(pVal);
    EPI_BIT_IN_RANGE(pVal, bitPos);
    const uint64_t m = 1ull << (bitPos % 64);
    if (value == 1)
        pVal->w[bitPos / 64] |= m;
    else
        pVal->w[bitPos / 64] &= ~m;
}

int epi_first_set(const epi *i, int32_t *pos)
{
    ZEL_ASSERT(i);
    for (uint32_t k = 0; k < i->nwords; k++) {
        if (i->w[k]) {
            *pos = static_cast<int32_t>(k * 64 + std::countr_zero(i->w[k]));
            return 1;
        }
    }
    *pos = i->nbits;
    return 0;
}

uint8_t epi_get_digit(const epi *pVal, uint32_t bytePos)
{
    ZEL_ASSERT(pVal);
    ZEL_ASSERT(bytePos < pVal->ndigits);
    return static_cast<uint8_t>(pVal->w[bytePos / 8] >> (8 * (bytePos % 8)));
}

void epi_set_digit(epi *pVal, uint32_t bytePos, uint8_t value)
{
    ZEL_ASSERT(pVal);
    ZEL_ASSERT(bytePos < pVal->ndigits);
    const uint32_t sh = 8 * (bytePos % 8);
    uint64_t &w = pVal->w[bytePos / 8];
    w = (w & ~(0xFFull << sh)) | (uint64_t{value} << sh);
}

namespace
{

template <class Op>
void epi_bytewise(epi *Z, const epi *X, const epi *Y, Op op)
{
    ZEL_ASSERT(X);
    ZEL_ASSERT(Y);
    ZEL_ASSERT(Z);
    ZEL_ASSERT(X->nbits >= Z->nbits);
    ZEL_ASSERT(Y->nbits >= Z->nbits);
    if (Z->nwords == 0)
        return;
    const uint32_t last = Z->nwords - 1u;
    for (uint32_t k = 0; k < last; k++)
        Z->w[k] = op(X->w[k], Y->w[k]);
    const uint64_t m = last_word_mask(Z->ndigits);
    Z->w[last] = (Z->w[last] & ~m) | (op(X->w[last], Y->w[last]) & m);
}

}  // namespace

void epi_and(epi *z, const epi *x, const epi *y)
{
    epi_bytewise(z, x, y, [](uint64_t a, uint64_t b) { return a & b; });
}

void epi_or(epi *z, const epi *x, const epi *y)
{
    epi_bytewise(z, x, y, [](uint64_t a, uint64_t b) { return a | b; });
}

void epi_print(const epi *v)
{
    for (int32_t i = 0; i < v->nbits; i++)
        putchar(epi_get_bit(v, i) ? '1' : '0');
    putchar('\n');
}
