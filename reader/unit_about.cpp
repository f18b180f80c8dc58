#include "reader/unit_about.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>

#include <memory>

namespace veldor {

QPixmap AboutBanner() {
  QPixmap banner(388, 101);
  QPainter painter(&banner);
  painter.setRenderHint(QPainter::Antialiasing);
  // An evening sky over the spines of a shelf of books.
  QLinearGradient sky(0, 0, 0, 101);
  sky.setColorAt(0.0, QColor(0x1d, 0x2b, 0x4f));
  sky.setColorAt(1.0, QColor(0x7a, 0x4e, 0x6e));
  painter.fillRect(banner.rect(), sky);
  const QColor spines[] = {QColor(0x8c, 0x2f, 0x2f), QColor(0x2f, 0x5d, 0x3a), QColor(0xb0, 0x8a, 0x3e),
                           QColor(0x3b, 0x4f, 0x8c), QColor(0x6d, 0x3b, 0x6e), QColor(0x9a, 0x5a, 0x2c)};
  int x = 230;
  for (int i = 0; x < 380; ++i) {
    const int width = 9 + (i * 7) % 8;
    const int height = 46 + (i * 13) % 22;
    painter.fillRect(x, 92 - height, width, height, spines[i % 6]);
    painter.fillRect(x + 2, 92 - height + 8, width - 4, 2, QColor(0xe8, 0xd9, 0xa8));
    x += width + 2;
  }
  painter.fillRect(220, 92, 168, 4, QColor(0x4a, 0x33, 0x22));
  QFont title = painter.font();
  title.setFamily(QStringLiteral("serif"));
  title.setPointSize(26);
  title.setItalic(true);
  painter.setFont(title);
  painter.setPen(QColor(0xf3, 0xe9, 0xd2));
  painter.drawText(QRect(14, 14, 210, 50), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Brevarion"));
  QFont motto = painter.font();
  motto.setPointSize(9);
  motto.setItalic(false);
  painter.setFont(motto);
  painter.setPen(QColor(0xd8, 0xc8, 0xe0));
  painter.drawText(QRect(16, 62, 210, 24), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("a library to read in"));
  return banner;
}

TAbout::TAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("About"));
  setWindowTitle(QStringLiteral("About Brevarion"));
  setFixedSize(397, 211);
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Base));
  setPalette(palette);

  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setPixmap(AboutBanner());
  Image1->setGeometry((397 - 388) / 2, 4, 388, 101);

  Label1 = new QLabel(QStringLiteral("Brevarion Version 1.1"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(45, 113);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label1->adjustSize();

  Label2 = new QLabel(QStringLiteral("A library of texts in volumes."), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->move(45, 135);
  Label2->adjustSize();

  Label3 = new QLabel(QStringLiteral("On the VELDOR engine 3.03."), this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label3->move(45, 149);
  Label3->adjustSize();

  CloseButton = new QPushButton(QStringLiteral("Close"), this);
  CloseButton->setObjectName(QStringLiteral("CloseButton"));
  CloseButton->setGeometry(304, 136, 75, 30);
  CloseButton->setDefault(true);
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::accept);
}

void ShowAbout(QWidget* parent) {
  // Owned here for the time it shows: destroyed on every path.
  auto about = std::make_unique<TAbout>(parent);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    about->move(area.center() - QPoint(about->width() / 2, about->height() / 2));
  }
  about->exec();
}

}  // namespace veldor
