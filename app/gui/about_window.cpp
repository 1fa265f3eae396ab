#include "app/gui/about_window.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "app/gui/twips.h"

namespace norv::gui {
namespace {

QFrame* Line(QWidget* parent, const char* name, QRect geometry, const char* colour) {
    auto* line = new QFrame(parent);
    line->setObjectName(name);
    line->setGeometry(geometry);
    line->setAutoFillBackground(true);
    line->setStyleSheet(QStringLiteral("background-color: %1;").arg(colour));
    return line;
}

}  // namespace

AboutWindow::AboutWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("frmAbout");
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
    setFixedSize(Px(5730), Px(3555));
    move(Px(2340), Px(1935));

    auto* title = new QLabel(QStringLiteral("NORV( Orlavane )"), this);
    title->setObjectName("lblTitle");
    title->setGeometry(Twips(480, 240, 5085, 480));
    QFont title_font(QStringLiteral("Arial Black"));
    title_font.setStyleHint(QFont::SansSerif);
    title_font.setBold(true);
    title_font.setPointSizeF(11.25);
    title->setFont(title_font);

    auto* version = new QLabel(this);
    version->setObjectName("lblVersion");
    version->setGeometry(Twips(1050, 780, 3885, 225));
    version->setText(QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
                         .arg(kVersionMajor)
                         .arg(kVersionMinor)
                         .arg(kVersionRevision));

    auto* description = new QLabel(
        QStringLiteral("Monitaring and alarting file system intrusion .  All file calculated "
                       "md5checksum for altering check. Automtically scan and send report by "
                       "e-mail."),
        this);
    description->setObjectName("lblDescription");
    description->setGeometry(Twips(1050, 1125, 3885, 1170));
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // Two lines, grey over white, draw an etched separator.
    Line(this, "Line1(1)", QRect(Px(90), Px(2445), Px(5654) - Px(90), 1), "#808080");
    Line(this, "Line1(0)", QRect(Px(105), Px(2460), Px(5654) - Px(105), 2), "#ffffff");

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName("cmdOK");
    ok->setGeometry(Twips(2160, 2760, 1380, 345));
    ok->setDefault(true);
    ok->setAutoDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    // Esc closes a QDialog through reject(), as the cancel button would.
}

}  // namespace norv::gui
