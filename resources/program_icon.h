// The program icon ":/program_icon.ico" (a 256-colour and a 24-bit image, 32x32) as the windows use it.
#pragma once

#include <QIcon>
#include <QImage>
#include <QList>

namespace tolvane {

// The icon's images in file order, each with its transparency. Qt's ICO reader keeps the
// transparency mask of palette images but leaves 16-, 24- and 32-bit images opaque, which would
// put a black square around the document; the mask is applied here for every image.
QList<QImage> program_icon_images();

// Both images as one icon. Needs a QGuiApplication.
QIcon program_icon();

}  // namespace tolvane
