#pragma once
// The window's embedded pictures: the view of the background picture that the window paints
// (composed at build time from the 1080 x 1922 picture, 32 bits per pixel, embedded raw so that
// start-up neither decodes nor scales) and the icon in its PNG sizes. A static library's
// resources are registered by hand.

class QIcon;
class QImage;

constexpr int kBackgroundViewWidth = 320;
constexpr int kBackgroundViewHeight = 480;

void initWindowAssets();
// A null image when the resource is missing or has the wrong size.
QImage backgroundView();
QIcon windowIcon();
