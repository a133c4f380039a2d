#pragma once
// The window's embedded pictures: the background picture (1080 x 1922, 32 bits per pixel,
// embedded raw so that start-up decodes nothing) and the icon in its PNG sizes. A static
// library's resources are registered by hand.

class QIcon;
class QImage;

constexpr int kBackgroundWidth = 1080;
constexpr int kBackgroundHeight = 1922;

void initWindowAssets();
// A null image when the resource is missing or has the wrong size.
QImage backgroundPicture();
QIcon windowIcon();
