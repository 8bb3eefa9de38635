// The tool-bar layout reader against whole, cut and wrong layouts.
#include "doctest.h"

#include "toolbar_layout.h"

#include <utility>
#include <vector>

namespace {

// Version 1, 16 x 16 images, 3 buttons, the last id above 0x7FFF.
const std::vector<unsigned char> kLayout = {1, 0, 16, 0, 16, 0, 3, 0, 0x77, 0x03, 0xB1, 0x03, 0x0A, 0x80};

} // namespace

TEST_CASE("a layout gives its image size and its ids in order; trailing padding is ignored")
{
    std::vector<unsigned char> padded = kLayout;
    padded.insert(padded.end(), {0, 0});
    for (const std::vector<unsigned char> *bytes : {&kLayout, &std::as_const(padded)}) {
        const auto layout = ParseToolBarLayout(bytes->data(), bytes->size());
        REQUIRE(layout);
        CHECK(layout->wImageWidth == 16);
        CHECK(layout->wImageHeight == 16);
        CHECK(layout->vecIds == std::vector<uint16_t>{887, 945, 32778});
    }
}

TEST_CASE("a cut, unknown or empty-image layout is refused without reading past its bytes")
{
    for (size_t n = 0; n < kLayout.size(); ++n) {
        // A copy of exactly n bytes, so that the sanitizer sees any read past them.
        const std::vector<unsigned char> cut(kLayout.begin(), kLayout.begin() + n);
        CHECK_MESSAGE(!ParseToolBarLayout(cut.data(), n), n);
    }
    for (size_t at : {0u, 2u, 4u}) { // version 2, width 0, height 0
        std::vector<unsigned char> bad = kLayout;
        bad[at] = at == 0 ? 2 : 0;
        CHECK_MESSAGE(!ParseToolBarLayout(bad.data(), bad.size()), at);
    }
}
