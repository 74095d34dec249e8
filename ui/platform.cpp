#include "ui/platform.h"

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QLibraryInfo>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QTranslator>

#include "resources/program_icon.h"

// The pictures live in a static library; their registration must be pulled in by name.
static void init_program_resources() { Q_INIT_RESOURCE(resources); }

namespace tolvane {
namespace {

// The interface font: 12 pixels high, as the systems the program is made for draw their dialogs.
constexpr int font_pixel_size = 12;
const char* const cjk_families[] = {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans SC",
                                    "Droid Sans Fallback"};

}  // namespace

bool resource_exists(const char* path) {
  init_program_resources();
  return QFile::exists(QString::fromLatin1(path));
}

void install_platform_look(QApplication& application) {
  init_program_resources();

  // Buttons of the toolkit's own dialogs read in Chinese.
  for (const char* catalogue : {"qtbase_zh_CN", "qt_zh_CN"}) {
    auto* translator = new QTranslator(&application);
    if (translator->load(QString::fromLatin1(catalogue),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      QApplication::installTranslator(translator);
      break;
    }
    delete translator;
  }

  QFont font = QApplication::font();
  const QStringList families = QFontDatabase::families();
  for (const char* family : cjk_families) {
    if (families.contains(QString::fromLatin1(family))) {
      font = QFont(QString::fromLatin1(family));
      break;
    }
  }
  font.setPixelSize(font_pixel_size);
  QApplication::setFont(font);

  if (resource_exists(":/program_icon.ico")) QApplication::setWindowIcon(program_icon());
}

void apply_themed_drawing() {
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
  // The blue scheme: light blue-grey faces, frames in RGB(123,158,189), a blue selection and bar.
  QPalette palette = QApplication::style()->standardPalette();
  const QColor face(236, 241, 247);
  const QColor frame(123, 158, 189);
  const QColor selection(49, 106, 197);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::Window, face);
    palette.setColor(group, QPalette::Button, face);
    palette.setColor(group, QPalette::Mid, frame);
    palette.setColor(group, QPalette::Dark, frame.darker(120));
    palette.setColor(group, QPalette::Highlight, selection);
    palette.setColor(group, QPalette::HighlightedText, Qt::white);
    palette.setColor(group, QPalette::Link, selection);
  }
  QApplication::setPalette(palette);
}

}  // namespace tolvane
