// The window's geometry, once: its numbers are the ones written for 96 DPI,
// and ScaleForDpi turns each into pixels for the window's DPI. Pure: the
// client size, the DPI and the page's variant in, one rectangle per control
// and one height per font out.
#pragma once

namespace layout {

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};

// AValue (96-DPI pixels) at ADpi, halves rounded up. Edges are scaled, not
// sizes, so that edges which meet at 96 DPI meet at every DPI.
int ScaleForDpi(int AValue, int ADpi);
TRect ScaleRect(const TRect& ARect, int ADpi);

// Which of the pictures drawn at 100, 150 and 200 % serves ADpi: the
// smallest that is not smaller than needed, 200 % beyond.
int ArtScale(int ADpi);

// Sizes of the pictures at 96 DPI.
constexpr int ProductSize = 121;
constexpr int ButtonCapWidth = 2, ButtonRowHeight = 54;
constexpr int TrustLogoWidth = 106, TrustLogoHeight = 44;
constexpr int CompatLogoWidth = 148, CompatLogoHeight = 31;

struct TWindowLayout {
    // Outer window sizes of the two pages.
    int WindowWidth, StartWindowHeight, ProgressWindowHeight;
    // Start page, client coordinates.
    TRect ProductPicture, BrandLabel, ProductTitleLabel, OfferTitleLabel, OfferSubtitleLabel, LicenseLabel,
        LicenseLink, InstallButton, OfferCheckBox;
    int ButtonCap;
    // Both pages: the footer band in client coordinates, the logos in the
    // band's own, the separator above it.
    TRect FooterPanel, TrustLogo, CompatLogo, Separator;
    // Progress page: the status line, the bar, and the status line's area
    // while the bar is hidden for the paused notice.
    TRect StatusRect, ProgressBar, PausedStatusArea;
    // Character heights (negative: without the internal leading).
    int NormalFontHeight, LargeFontHeight, TitleFontHeight, LinkFontHeight;
};

// AClientWidth and AClientHeight: the client area as the window has it.
// ATranslated: the texts are not the English ones, for which the window was
// drawn; the offer check box then has room for a second line, down to the
// separator (the English window keeps its one line).
TWindowLayout ComputeLayout(int ADpi, int AClientWidth, int AClientHeight, bool AWithErrorCode,
                            bool ATranslated = false);

}  // namespace layout
