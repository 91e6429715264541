#include "common/zel_app_family.h"

namespace
{

uint32_t find(std::string_view name, const char *zel_dpi_family_names::*which)
{
    for (uint32_t i = 1; i <= ZEL_DPI_NUM_FAMILIES; i++)
        if (name == zel_dpi_families[i].*which)
            return i;
    return ZEL_DPI_FAMILY_NONE;
}

}  // namespace

uint32_t zel_dpi_engine_family_id(std::string_view name) { return find(name, &zel_dpi_family_names::engine); }

uint32_t zel_dpi_family_id(std::string_view name) { return find(name, &zel_dpi_family_names::config); }

const char *zel_dpi_family_engine_name(uint32_t family)
{
    return family >= 1 && family <= ZEL_DPI_NUM_FAMILIES ? zel_dpi_families[family].engine : nullptr;
}
