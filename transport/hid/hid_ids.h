// USB identifiers of the falcon boot ROM devices. The falcon boards share one vendor ID;
// the USB bulk device table uses the same vendor ID for its rows.
#pragma once

#include <cstdint>

constexpr uint16_t FALCON_VENDOR_ID = 0x2F5A;
constexpr uint16_t KESTREL_PRODUCT_ID = 0x0101;
constexpr uint16_t MERLIN_PRODUCT_ID = 0x0102;
constexpr uint16_t HOBBY_PRODUCT_ID = 0x0103;
