// The control's face on an offscreen form: shown on black in design mode, gone at run time.
#include "board/face/zrvface.h"

#include <gtest/gtest.h>

#include <QImage>

#include "testhost.h"

namespace zrv {
namespace {

constexpr QRgb kFormColour = qRgb(200, 30, 30);

class FaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QPalette palette = form.palette();
    palette.setColor(QPalette::Window, QColor(kFormColour));
    form.setPalette(palette);
    form.setAutoFillBackground(true);
    form.resize(400, 200);
    face.setGeometry(20, 30, 240, 60);
    form.show();
  }

  /// The form as it looks now, and the pixel at a point of the face.
  QRgb pixel(int x, int y) {
    m_image = form.grab().toImage();
    return m_image.pixel(face.x() + x, face.y() + y) & 0xFFFFFF;
  }

  /// How many pixels of the face's middle row are neither black nor the form's colour.
  int textPixels() {
    m_image = form.grab().toImage();
    int n = 0;
    for (int x = 0; x < face.width(); ++x) {
      const QRgb p = m_image.pixel(face.x() + x, face.y() + face.height() / 2) & 0xFFFFFF;
      if (p != 0 && p != (kFormColour & 0xFFFFFF)) ++n;
    }
    return n;
  }

  TestHost host;
  QWidget form;
  ZrvFace face{&host, &form};
  QImage m_image;
};

TEST_F(FaceTest, DesignModeShowsTheCaptionAcrossTheFullWidthCentredOnBlack) {
  host.design = true;
  face.refresh();
  for (const QSize size : {QSize(240, 60), QSize(300, 101), QSize(90, 24)}) {
    face.resize(size);
    QLabel* label = face.face();
    EXPECT_TRUE(label->isVisible()) << size.width();
    EXPECT_EQ(label->text(), "Corvane ZRV");
    EXPECT_EQ(label->x(), 0);
    EXPECT_EQ(label->width(), size.width());
    EXPECT_EQ(label->y(), (size.height() - label->height()) / 2);
    EXPECT_EQ(pixel(1, 1), 0u) << size.width();
    EXPECT_EQ(pixel(size.width() - 2, size.height() - 2), 0u) << size.width();
  }
  face.resize(240, 60);
  EXPECT_GT(textPixels(), 0);
}

TEST_F(FaceTest, RunTimeHidesTheCaptionAndShowsTheFormThrough) {
  host.design = false;
  face.refresh();
  EXPECT_FALSE(face.face()->isVisible());
  EXPECT_EQ(pixel(1, 1), kFormColour & 0xFFFFFF);
  EXPECT_EQ(pixel(face.width() / 2, face.height() / 2), kFormColour & 0xFFFFFF);
  EXPECT_EQ(textPixels(), 0);
}

TEST_F(FaceTest, PaintingFollowsTheHostBetweenModes) {
  for (bool design : {true, false, true, false}) {
    host.design = design;
    // No refresh: painting alone brings the face in line with the host.
    EXPECT_EQ(pixel(1, 1), design ? 0u : (kFormColour & 0xFFFFFF)) << design;
    EXPECT_EQ(face.face()->isVisible(), design);
    EXPECT_EQ(textPixels() > 0, design);
  }
}

}  // namespace
}  // namespace zrv
