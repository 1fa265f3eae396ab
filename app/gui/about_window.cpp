#include "app/gui/about_window.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "app/gui/twips.h"
#include "app/gui/widgets.h"

namespace norv::gui {
namespace {

QFrame* Line(QWidget* parent, const char* name, QRect geometry, const char* colour) {
    auto* line = Place<QFrame>(parent, name, geometry);
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

    QLabel* title =
        MakeLabel(this, "lblTitle", QStringLiteral("NORV( Orlavane )"), Twips(480, 240, 5085, 480));
    QFont title_font(QStringLiteral("Arial Black"));
    title_font.setStyleHint(QFont::SansSerif);
    title_font.setBold(true);
    title_font.setPointSizeF(11.25);
    title->setFont(title_font);

    MakeLabel(this, "lblVersion",
              QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
                  .arg(kVersionMajor)
                  .arg(kVersionMinor)
                  .arg(kVersionRevision),
              Twips(1050, 780, 3885, 225));

    QLabel* description = MakeLabel(
        this, "lblDescription",
        QStringLiteral("Monitaring and alarting file system intrusion .  All file calculated "
                       "md5checksum for altering check. Automtically scan and send report by "
                       "e-mail."),
        Twips(1050, 1125, 3885, 1170));
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // Two lines, grey over white, draw an etched separator.
    Line(this, "Line1(1)", QRect(Px(90), Px(2445), Px(5654) - Px(90), 1), "#808080");
    Line(this, "Line1(0)", QRect(Px(105), Px(2460), Px(5654) - Px(105), 2), "#ffffff");

    QPushButton* ok = MakeButton(this, "cmdOK", QStringLiteral("OK"), Twips(2160, 2760, 1380, 345));
    ok->setDefault(true);
    ok->setAutoDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    // Esc closes a QDialog through reject(), as the cancel button would.
}

}  // namespace norv::gui
