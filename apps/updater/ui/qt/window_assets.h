#pragma once
// The window's embedded pictures: the background (":/tarvel/background.png") and the icon
// (":/tarvel/icon-N.png"). A static library's resources are registered by hand.

class QIcon;

void initWindowAssets();
QIcon windowIcon();
