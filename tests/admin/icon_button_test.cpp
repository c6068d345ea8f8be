// CIconButton drawn into an image in each of its states.
#include <QApplication>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QImage>
#include <QtTest>

#include "admin/icon_button.h"

// The window's classes live in the project's namespace.
using namespace tvl;

namespace {

enum Frame { None, Raised, Sunken };

// The icon's drawn area: every pixel that is not the button's face.
QRect icon_box(const QImage& img, const QColor& face) {
  QRect box;
  for (int y = 2; y < img.height() - 2; ++y)
    for (int x = 2; x < img.width() - 2; ++x)
      if (img.pixel(x, y) != face.rgb()) box |= QRect(x, y, 1, 1);
  return box;
}

bool greyish(const QColor& c) {
  return qAbs(c.red() - c.green()) < 24 && qAbs(c.green() - c.blue()) < 24;
}

}  // namespace

class IconButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void states_data();
  void states();
  void entering_while_inactive_does_not_light();

 private:
  void hover();
  QImage render() const;

  std::unique_ptr<QWidget> host_;
  CIconButton* button_ = nullptr;
};

void IconButtonTest::init() {
  host_ = std::make_unique<QWidget>();
  auto* row = new QHBoxLayout(host_.get());
  button_ = new CIconButton;
  button_->set_icon(QIcon(":/icons/start.png"));
  button_->setFixedSize(22, 22);
  row->addWidget(button_);
  host_->show();
  host_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(host_.get()));
}

void IconButtonTest::cleanup() { host_.reset(); }

void IconButtonTest::hover() {
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(button_, &enter);
}

QImage IconButtonTest::render() const {
  QImage img(button_->size(), QImage::Format_ARGB32);
  img.fill(Qt::magenta);
  button_->render(&img);
  return img;
}

void IconButtonTest::states_data() {
  QTest::addColumn<bool>("active");
  QTest::addColumn<bool>("hovered");
  QTest::addColumn<bool>("pressed");
  QTest::addColumn<bool>("enabled");
  QTest::addColumn<int>("frame");
  QTest::addColumn<bool>("greyed");
  QTest::addColumn<bool>("shifted");
  QTest::newRow("resting") << true << false << false << true << int(None) << false << false;
  QTest::newRow("hovered, active") << true << true << false << true << int(Raised) << false << false;
  QTest::newRow("hovered, inactive") << false << true << false << true << int(None) << false << false;
  QTest::newRow("pressed") << true << true << true << true << int(Sunken) << false << true;
  QTest::newRow("disabled") << true << false << false << false << int(None) << true << false;
  QTest::newRow("disabled, hovered") << true << true << false << false << int(None) << true << false;
}

void IconButtonTest::states() {
  QFETCH(bool, active);
  QFETCH(bool, hovered);
  QFETCH(bool, pressed);
  QFETCH(bool, enabled);
  QFETCH(int, frame);
  QFETCH(bool, greyed);
  QFETCH(bool, shifted);
  const QImage resting = render();
  if (hovered) hover();
  button_->setEnabled(enabled);
  if (pressed) button_->setDown(true);
  if (!active) QApplication::setActiveWindow(nullptr);
  const QImage img = render();

  const QPalette& pal = button_->palette();
  const QColor face = pal.color(QPalette::Button);
  const QRgb top = img.pixel(img.width() / 2, 0), left = img.pixel(0, img.height() / 2);
  const QRgb bottom = img.pixel(img.width() / 2, img.height() - 1),
             right = img.pixel(img.width() - 1, img.height() / 2);
  const QRgb light = pal.color(QPalette::Light).rgb(), dark = pal.color(QPalette::Dark).rgb();
  QVERIFY(light != dark && light != face.rgb() && dark != face.rgb());
  QCOMPARE(img.pixel(img.width() - 3, 2), face.rgb());  // the face is filled
  switch (frame) {
    case None:
      QCOMPARE(top, face.rgb());
      QCOMPARE(bottom, face.rgb());
      break;
    case Raised:
      QCOMPARE(top, light);
      QCOMPARE(left, light);
      QCOMPARE(bottom, dark);
      QCOMPARE(right, dark);
      break;
    case Sunken:
      QCOMPARE(top, dark);
      QCOMPARE(left, dark);
      QCOMPARE(bottom, light);
      QCOMPARE(right, light);
      break;
  }

  // The icon: greyed when disabled, shifted one pixel right and down when
  // pressed, otherwise where it rests.
  const QRect at_rest = icon_box(resting, face), now = icon_box(img, face);
  QVERIFY(!at_rest.isEmpty());
  QCOMPARE(now.topLeft(), at_rest.topLeft() + (shifted ? QPoint(1, 1) : QPoint(0, 0)));
  const QColor middle = img.pixelColor(now.center());
  QVERIFY2(greyish(middle) == greyed, qPrintable(middle.name()));
}

void IconButtonTest::entering_while_inactive_does_not_light() {
  QApplication::setActiveWindow(nullptr);
  hover();
  QVERIFY(!button_->hovered());
  QApplication::setActiveWindow(host_.get());
  hover();
  QVERIFY(button_->hovered());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(button_, &leave);
  QVERIFY(!button_->hovered());
}

QTEST_MAIN(IconButtonTest)
#include "icon_button_test.moc"

