// The window's layout at 96, 120, 144 and 192 DPI: at 96 DPI it is the
// window's layout of before, pixel for pixel; elsewhere every rectangle is
// the 96-DPI one times DPI / 96, edges rounded, so that nothing that meets
// at 96 DPI parts or overlaps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include "ui/uLayout.h"

using layout::ComputeLayout;
using layout::ScaleForDpi;
using layout::TRect;

namespace layout {
// For the messages of failed comparisons (found by argument lookup).
std::ostream& operator<<(std::ostream& out, const TRect& r);
std::ostream& operator<<(std::ostream& out, const TRect& r) {
    return out << "(" << r.Left << "," << r.Top << "," << r.Right << "," << r.Bottom << ")";
}
}  // namespace layout

namespace {

// The client area of the 554 x 332 window at each DPI, as Wine gives it.
struct TCase {
    int Dpi, ClientWidth, ClientHeight;
    int WindowWidth, StartHeight, ProgressHeight;
    TRect Product, Button, Link, CheckBox, Footer, TrustLogo, CompatLogo, Separator, Status, Bar;
    int Normal, Large, Title, Cap;
};

const TCase cases[] = {
    {96, 544, 303, 554, 332, 267, {34, 34, 155, 155}, {206, 144, 507, 198}, {361, 85, 641, 105},
     {207, 204, 487, 229}, {0, 238, 544, 303}, {21, 10, 127, 54}, {375, 17, 523, 48}, {1, 237, 543, 238},
     {34, 61, 510, 103}, {34, 103, 510, 120}, -13, -19, -26, 2},
    {120, 680, 379, 693, 415, 334, {43, 43, 194, 194}, {258, 180, 634, 248}, {451, 106, 801, 131},
     {259, 255, 609, 286}, {0, 298, 680, 379}, {26, 13, 159, 68}, {469, 21, 654, 60}, {1, 296, 679, 298},
     {43, 76, 637, 129}, {43, 129, 637, 150}, -16, -24, -33, 3},
    {144, 816, 455, 831, 498, 401, {51, 51, 233, 233}, {309, 216, 761, 297}, {542, 128, 962, 158},
     {311, 306, 731, 344}, {0, 357, 816, 455}, {32, 15, 191, 81}, {562, 26, 784, 73}, {2, 356, 814, 357},
     {51, 92, 765, 155}, {51, 155, 765, 180}, -20, -29, -39, 3},
    {192, 1088, 606, 1108, 664, 534, {68, 68, 310, 310}, {412, 288, 1014, 396}, {722, 170, 1282, 210},
     {414, 408, 974, 458}, {0, 476, 1088, 606}, {42, 20, 254, 108}, {750, 34, 1046, 96}, {2, 474, 1086, 476},
     {68, 122, 1020, 206}, {68, 206, 1020, 240}, -26, -38, -52, 4},
};

}  // namespace

TEST(Layout, EveryRectangleAndFontAtEachDpi) {
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Dpi << " DPI");
        auto l = ComputeLayout(c.Dpi, c.ClientWidth, c.ClientHeight, false);
        EXPECT_EQ(l.WindowWidth, c.WindowWidth);
        EXPECT_EQ(l.StartWindowHeight, c.StartHeight);
        EXPECT_EQ(l.ProgressWindowHeight, c.ProgressHeight);
        EXPECT_EQ(l.ProductPicture, c.Product);
        EXPECT_EQ(l.InstallButton, c.Button);
        EXPECT_EQ(l.LicenseLink, c.Link);
        EXPECT_EQ(l.OfferCheckBox, c.CheckBox);
        EXPECT_EQ(l.FooterPanel, c.Footer);
        EXPECT_EQ(l.TrustLogo, c.TrustLogo);
        EXPECT_EQ(l.CompatLogo, c.CompatLogo);
        EXPECT_EQ(l.Separator, c.Separator);
        EXPECT_EQ(l.StatusRect, c.Status);
        EXPECT_EQ(l.ProgressBar, c.Bar);
        EXPECT_EQ(l.NormalFontHeight, c.Normal);
        EXPECT_EQ(l.LargeFontHeight, c.Large);
        EXPECT_EQ(l.TitleFontHeight, c.Title);
        EXPECT_EQ(l.ButtonCap, c.Cap);
    }
}

TEST(Layout, AtEveryDpiEachRectangleIsTheOneOf96DpiScaledWithinOnePixel) {
    for (int dpi : {96, 120, 144, 168, 192, 240, 288}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        auto base = ComputeLayout(96, 544, 303, true);
        int width = ScaleForDpi(544, dpi), height = ScaleForDpi(303, dpi);
        auto l = ComputeLayout(dpi, width, height, true);
        auto near = [dpi](const TRect& scaled, const TRect& original) {
            for (auto [a, b] : {std::pair{scaled.Left, original.Left}, {scaled.Top, original.Top},
                                {scaled.Right, original.Right}, {scaled.Bottom, original.Bottom}})
                if (std::abs(a * 96 - b * dpi) > 96) return false;
            return true;
        };
        for (auto member : {&layout::TWindowLayout::ProductPicture, &layout::TWindowLayout::BrandLabel,
                            &layout::TWindowLayout::ProductTitleLabel, &layout::TWindowLayout::OfferTitleLabel,
                            &layout::TWindowLayout::OfferSubtitleLabel, &layout::TWindowLayout::LicenseLabel,
                            &layout::TWindowLayout::LicenseLink, &layout::TWindowLayout::InstallButton,
                            &layout::TWindowLayout::OfferCheckBox, &layout::TWindowLayout::FooterPanel,
                            &layout::TWindowLayout::TrustLogo, &layout::TWindowLayout::CompatLogo,
                            &layout::TWindowLayout::Separator, &layout::TWindowLayout::StatusRect,
                            &layout::TWindowLayout::ProgressBar, &layout::TWindowLayout::PausedStatusArea})
            EXPECT_TRUE(near(l.*member, base.*member)) << l.*member << " from " << base.*member;
        // Edges that meet at 96 DPI meet here too; the separator sits right
        // above the band, and the headline and its subtitle right above the
        // licence sentence.
        EXPECT_EQ(l.Separator.Bottom, l.FooterPanel.Top);
        EXPECT_EQ(l.OfferTitleLabel.Bottom, l.OfferSubtitleLabel.Top);
        EXPECT_EQ(l.OfferSubtitleLabel.Bottom, l.LicenseLabel.Top);
        EXPECT_EQ(l.StatusRect.Bottom, l.ProgressBar.Top);
        // Nothing runs into the band.
        EXPECT_LE(l.OfferCheckBox.Bottom, l.Separator.Top);
        EXPECT_LE(l.ProductTitleLabel.Bottom, l.Separator.Top);
    }
}

TEST(Layout, HalvesGoUpAlsoBelowZero) {
    const struct {
        int Value, Dpi, Expected;
    } scaled[] = {{1, 144, 2}, {3, 144, 5}, {13, 144, 20}, {-1, 144, -1}, {-3, 144, -4}, {0, 144, 0},
                  {121, 144, 182}, {31, 144, 47}, {5, 120, 6}, {2, 120, 3}, {554, 96, 554}, {-13, 96, -13}};
    for (const auto& c : scaled) EXPECT_EQ(ScaleForDpi(c.Value, c.Dpi), c.Expected) << c.Value << " at " << c.Dpi;
}

TEST(Layout, PicturesForEachDpi) {
    const struct {
        int Dpi, Scale;
    } scales[] = {{72, 100}, {96, 100}, {97, 150}, {120, 150}, {144, 150}, {168, 200}, {192, 200}, {288, 200}};
    for (const auto& c : scales) EXPECT_EQ(layout::ArtScale(c.Dpi), c.Scale) << c.Dpi;
}
