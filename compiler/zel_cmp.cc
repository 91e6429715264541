#include "common/zel_log.h"
#include "compiler/epi.h"

int epi_words_cmp(const uint64_t *x, const uint64_t *y, uint32_t nwords)
{
    for (uint32_t k = nwords; k-- > 0;) {
        if (x[k] != y[k])
            return x[k] > y[k] ? 1 : -1;
    }
    return 0;
}

int zel_epi_cmp(const epi *pX, const epi *pY)
{
    ZEL_ASSERT(pX);
    ZEL_ASSERT(pY);
    ZEL_ASSERT(pX->ndigits == pY->ndigits);
    // Bits above ndigits bytes are always zero, so comparing whole words is the byte order.
    return epi_words_cmp(pX->w, pY->w, pX->nwords);
}

int zel_epi_key_cmp(const void *x, const void *y)
{
    const int r = zel_epi_cmp(static_cast<const epi *>(x), static_cast<const epi *>(y));
    return r < 0 ? -1 : (r != 0 ? 1 : 0);
}
