#pragma once

// Shape and placement shared by the window's frameless dialogs.

class QLabel;
class QTextEdit;
class QWidget;

// The corner radius of the dialogs' rounded outline.
constexpr int kDialogCornerRadius = 10;
// The smallest text size a dialog's text is shrunk to (pixels).
constexpr int kDialogTextMinPixelSize = 12;

// Clips widget to a rounded rectangle of its current size (call again after every resize).
void clipToRoundedRect(QWidget* widget, int radius = kDialogCornerRadius);

// Moves dialog so that its centre lies over the centre of window: top-left = window position +
// ((window width - dialog width) / 2, (window height - dialog height) / 2), integer division.
void centreOver(QWidget* dialog, const QWidget* window);

// The dialogs have fixed sizes, and a long text (a heading and several sentences) may need more
// height than the layout gives it at the application's font; it would be cut off at the bottom
// (a label) or need scrolling (a text edit). These start from the font of the text's parent and
// shrink it a pixel at a time, down to kDialogTextMinPixelSize, until the text fits the height it
// has. A text that fits keeps the parent's font. Call them once the dialog is laid out (when it is
// shown) and after its text changed.
void fitTextToHeight(QLabel* label);
void fitTextToHeight(QTextEdit* edit);
