// The window's pictures: PNG resources drawn at 100, 150 and 200 %
// (resources/make-bitmaps.sh), decoded by the system's imaging component
// (windowscodecs, present from Vista on) into bitmaps of the size the layout
// asks for.
#pragma once

#include <windows.h>

namespace pictures {

// The picture ANAME (without its scale) for ADpi, as a 24-bit DIB section of
// AWidth x AHeight: the picture of the scale that serves ADpi, scaled by the
// imaging component when its size differs. Null when it cannot be made.
// The caller owns the bitmap.
HBITMAP Load(const wchar_t* AName, int ADpi, int AWidth, int AHeight);

}  // namespace pictures
