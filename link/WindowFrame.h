#pragma once

#include <QString>

class QWidget;

namespace rq70 {

// Every window of the updater (kept here, the lowest layer that has windows): a fixed border with a title and
// a close box, no minimise or maximise box, gone (deleted) once closed so the next use starts from its
// design.
void SetUpFixedWindow(QWidget* window, const QString& iconPath);

// A secondary window: as above, and laid with its top-left corner on the main window's.
void SetUpSecondaryWindow(QWidget* window, const QString& iconPath, const QWidget* mainWindow);

} // namespace rq70
