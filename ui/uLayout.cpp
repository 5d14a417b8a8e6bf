// The window's geometry at any DPI (see uLayout.h).
#include "ui/uLayout.h"

namespace layout {

int ScaleForDpi(int AValue, int ADpi) {
    // Floor division of value * dpi / 96 + 1/2, also below zero: halves
    // always go up, so a shape keeps its size wherever it is placed.
    long long scaled = static_cast<long long>(AValue) * ADpi + 48;
    long long result = scaled >= 0 ? scaled / 96 : -((-scaled + 95) / 96);
    return static_cast<int>(result);
}

TRect ScaleRect(const TRect& ARect, int ADpi) {
    return {ScaleForDpi(ARect.Left, ADpi), ScaleForDpi(ARect.Top, ADpi), ScaleForDpi(ARect.Right, ADpi),
            ScaleForDpi(ARect.Bottom, ADpi)};
}

int ArtScale(int ADpi) {
    if (ADpi <= 96) return 100;
    if (ADpi <= 144) return 150;
    return 200;
}

TWindowLayout ComputeLayout(int ADpi, int AClientWidth, int AClientHeight, bool AWithErrorCode, bool ATranslated) {
    auto s = [ADpi](int value) { return ScaleForDpi(value, ADpi); };
    auto r = [ADpi](int left, int top, int right, int bottom) { return ScaleRect({left, top, right, bottom}, ADpi); };
    const int W = AClientWidth, H = AClientHeight;
    TWindowLayout l = {};
    l.WindowWidth = s(554);
    l.StartWindowHeight = s(332);
    l.ProgressWindowHeight = s(267);

    l.ProductPicture = {s(34), s(34), s(34) + s(ProductSize), s(34) + s(ProductSize)};
    l.BrandLabel = r(34, 164, 34 + 219, 164 + 21);
    l.ProductTitleLabel = r(34, 182, 34 + 219, 182 + 28);
    l.OfferTitleLabel = AWithErrorCode ? r(206, 22, 206 + 301, 22 + 23) : r(206, 29, 206 + 301, 29 + 39);
    l.OfferSubtitleLabel = r(206, 45, 206 + 301, 45 + 23);
    l.LicenseLabel = r(206, 68, 206 + 280, 68 + 102);
    l.LicenseLink = r(361, 85, 361 + 280, 85 + 20);
    l.InstallButton = r(206, 144, 206 + 301, 144 + ButtonRowHeight);
    l.OfferCheckBox = r(207, 204, 207 + 280, 204 + 25);
    l.ButtonCap = s(ButtonCapWidth);

    // The band is 65 px high at the bottom; the logos sit 21 px in from
    // either side, centred vertically as at 96 DPI (10 and 17 px down).
    const int footer = s(65);
    l.FooterPanel = {0, H - footer, W, H};
    // A picture keeps its scaled size wherever it is placed: its edges are
    // its corner plus its size.
    l.TrustLogo = {s(21), s(10), s(21) + s(TrustLogoWidth), s(10) + s(TrustLogoHeight)};
    l.CompatLogo = {W - s(21) - s(CompatLogoWidth), s(17), W - s(21), s(17) + s(CompatLogoHeight)};
    l.Separator = {s(1), H - s(66), W - s(1), H - footer};
    if (ATranslated) l.OfferCheckBox.Bottom = l.Separator.Top;

    l.StatusRect = {s(34), s(61), W - s(34), s(103)};
    l.ProgressBar = {s(34), s(103), W - s(34), s(120)};
    l.PausedStatusArea = {s(34), s(61), W - s(34), H - s(67)};

    l.NormalFontHeight = -s(13);
    l.LargeFontHeight = -s(19);
    l.TitleFontHeight = -s(AWithErrorCode ? 18 : 26);
    l.LinkFontHeight = -s(13);
    return l;
}

}  // namespace layout
