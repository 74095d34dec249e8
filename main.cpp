#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("Tolvane-文件批量下载器 V1.0"));
  window.setFixedSize(391, 276);
  window.show();
  return QApplication::exec();
}
