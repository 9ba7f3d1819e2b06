#pragma once

// The windows' fixed look: Fusion with a dark palette in the kit's colours, whatever the
// desktop's theme, and text styles set by pixel size (a point of the design is a device-
// independent pixel).

#include <QFont>
#include <QPalette>

class QWidget;

namespace brindlet::app::ui {

enum class TextStyle { title, title2, title3, headline, body, callout };

// The style's pixel size: title 22, title-2 17, title-3 15, headline 13 (bold), body 13,
// callout 12.
int pixelSizeOf(TextStyle style);
QFont fontOf(TextStyle style);
// The kit's family at `pixels` in `weight`, for the few texts set apart from the styles.
QFont fontOfSize(int pixels, QFont::Weight weight = QFont::Normal);

// The palette of every window: light text on dark, the kit's blue as the accent.
QPalette darkPalette();

// Seconds on a steady clock, for the windows' springs.
double animationSeconds();

// Gives the application Fusion, the dark palette and the body font, so that the menus and every
// widget of the windows look alike on any desktop.
void applyApplicationLook();

}  // namespace brindlet::app::ui
