// The embedded pictures, read back through Qt's own image readers as the windows read them.
#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <vector>

#include "resources/program_icon.h"

namespace {

TEST(Pictures, RegisteredByLinkingAlone) {
  EXPECT_TRUE(QFile::exists(QStringLiteral(":/banner_picture.gif")));
  EXPECT_TRUE(QFile::exists(QStringLiteral(":/program_icon.ico")));
}

TEST(Pictures, BannerIsAnEndlessAnimationWithItsDelays) {
  QImageReader reader(QStringLiteral(":/banner_picture.gif"));
  ASSERT_EQ(reader.format(), "gif");
  EXPECT_EQ(reader.size(), QSize(270, 40));
  EXPECT_EQ(reader.loopCount(), -1);  // forever
  EXPECT_TRUE(reader.supportsAnimation());
  std::vector<int> delays;
  for (int i = 0; i < 20 && reader.canRead(); ++i) {
    const QImage frame = reader.read();
    ASSERT_FALSE(frame.isNull()) << "frame " << i + 1 << ": " << reader.errorString().toStdString();
    EXPECT_EQ(frame.size(), QSize(270, 40));
    // The background between the globe and the folder stays transparent in every frame, so the
    // white of the picture box shows through.
    const QImage argb = frame.convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(argb.pixel(0, 0)), 0) << "frame " << i + 1;
    EXPECT_EQ(qAlpha(argb.pixel(269, 39)), 0) << "frame " << i + 1;
    delays.push_back(reader.nextImageDelay());
  }
  std::vector<int> expected(13, 120);
  expected.front() = 200;
  expected.back() = 500;
  EXPECT_EQ(delays, expected);
}

TEST(Pictures, IconHoldsTwoImagesOfADocumentWithAnOrangeDiamond) {
  QImageReader reader(QStringLiteral(":/program_icon.ico"));
  ASSERT_EQ(reader.format(), "ico");
  ASSERT_EQ(reader.imageCount(), 2);
  // The 24-bit image is the one Qt's reader leaves opaque.
  ASSERT_TRUE(reader.jumpToImage(1));
  EXPECT_EQ(reader.imageFormat(), QImage::Format_RGB32);

  const QList<QImage> images = tolvane::program_icon_images();
  ASSERT_EQ(images.size(), 2);
  for (qsizetype i = 0; i < images.size(); ++i) {
    const QImage image = images[i].convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(32, 32)) << "image " << i;
    // Left of the page and the top right corner beyond the fold: transparent.
    EXPECT_EQ(qAlpha(image.pixel(1, 16)), 0) << "image " << i;
    EXPECT_EQ(qAlpha(image.pixel(30, 1)), 0) << "image " << i;
    // Page white near the top, orange in the diamond's lower half: a flipped bitmap would swap them.
    const QColor paper = QColor::fromRgba(image.pixel(10, 4));
    EXPECT_EQ(paper.alpha(), 255) << "image " << i;
    EXPECT_GT(paper.lightness(), 220) << "image " << i;
    const QColor diamond = QColor::fromRgba(image.pixel(16, 22));
    EXPECT_EQ(diamond.alpha(), 255) << "image " << i;
    EXPECT_GT(diamond.red(), 200) << "image " << i;
    EXPECT_GT(diamond.green(), 70) << "image " << i;
    EXPECT_LT(diamond.green(), 190) << "image " << i;
    EXPECT_LT(diamond.blue(), 90) << "image " << i;
  }
}

TEST(Pictures, WindowIconIsTransparentAroundTheDocument) {
  static int argc = 1;
  static char name[] = "test_resources";
  static char* argv[] = {name, nullptr};
  static QGuiApplication application(argc, argv);
  const QIcon icon = tolvane::program_icon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32}) {
    const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(size, size));
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size;
    EXPECT_EQ(qAlpha(image.pixel(size - 1, 0)), 0) << size;
    EXPECT_EQ(qAlpha(image.pixel(size / 2, size * 3 / 4)), 255) << size;
  }
}

}  // namespace
