#pragma once

#include <functional>

namespace dovo::WindowLayout {

// The window is laid out in twips, like a printed page, and turned into
// pixels with the screen's own density so it keeps its physical size.
struct TwipRect
{
    int left, top, width, height;
};

inline constexpr const char* Caption = "Dovo - Quen Dorvil";
inline constexpr const char* Heading = "Your mouse has travelled";
inline constexpr const char* ResetText = "Reset Counter";
// Written without the caption's space, as the tray has always shown it.
inline constexpr const char* TrayTip = "Dovo - QuenDorvil";

inline constexpr int ClientWidth = 4680;
inline constexpr int ClientHeight = 2520;
inline constexpr TwipRect Label2 = {240, 120, 4335, 495};
// Label1, Label3 and Label4, the centimetre, metre and kilometre readouts,
// one under the other.
inline constexpr TwipRect Readouts[3] = {
    {120, 720, 4455, 375}, {120, 1080, 4455, 375}, {120, 1440, 4455, 375}};
inline constexpr TwipRect Command1 = {960, 2040, 2415, 375};
inline constexpr double HeadingPoints = 18.0;
inline constexpr double ReadoutPoints = 13.5;

// Five minutes, or what DOVO_AUTOSAVE_INTERVAL_MS says: tests of the
// periodic save cannot wait that long.
int AutoSaveMilliseconds();

// Twips to pixels at the given twips per pixel, to the nearest pixel.
int ToPixels(int twips, double twipsPerPixel);

// The largest size, from pointSize down in half points, at which fits says
// the text fits its box: a wider substitute face never clips a label.
double FittingPointSize(double pointSize, const std::function<bool(double)>& fits);

} // namespace dovo::WindowLayout
