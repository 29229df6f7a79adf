#pragma once

// Shape and placement shared by the window's frameless dialogs.

class QWidget;

// The corner radius of the dialogs' rounded outline.
constexpr int kDialogCornerRadius = 10;

// Clips widget to a rounded rectangle of its current size (call again after every resize).
void clipToRoundedRect(QWidget* widget, int radius = kDialogCornerRadius);

// Moves dialog so that its centre lies over the centre of window: top-left = window position +
// ((window width - dialog width) / 2, (window height - dialog height) / 2), integer division.
void centreOver(QWidget* dialog, const QWidget* window);
