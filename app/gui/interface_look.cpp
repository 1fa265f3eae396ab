#include "app/gui/interface_look.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QProxyStyle>
#include <QStyleOptionComplex>
#include <QTranslator>

namespace norv::gui {
namespace {

// The platform's style, with a frame's title moved in from the frame's left corner and given a
// little room on both sides, so it never sits flush against the border line.
class FrameTitleStyle : public QProxyStyle {
  public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        QRect rect = QProxyStyle::subControlRect(control, option, sub, widget);
        if (control == CC_GroupBox && (sub == SC_GroupBoxLabel || sub == SC_GroupBoxCheckBox)) {
            rect.translate(kTitleIndent, 0);
        }
        return rect;
    }

  private:
    static constexpr int kTitleIndent = 8;
};

}  // namespace

QString UseInterfaceLook() {
    QApplication::setStyle(new FrameTitleStyle());
    static QTranslator qt_texts;
    if (qt_texts.load(QStringLiteral("qtbase_ja"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qt_texts);
    }
    // Proportional faces first; the package recommends fonts-vlgothic or fonts-noto-cjk.
    static const char* const kFamilies[] = {"VL PGothic", "Noto Sans CJK JP", "VL Gothic",
                                            "IPAPGothic", "IPAexGothic",      "TakaoPGothic"};
    // Under a Japanese locale the faces are listed by their Japanese names ("VL Pゴシック"), the
    // English one being an alias that Qt knows only once the whole list has been read.
    const QStringList installed = QFontDatabase::families();
    for (const char* family : kFamilies) {
        const QString name = QString::fromLatin1(family);
        if (!installed.contains(name) && !QFontDatabase::hasFamily(name)) continue;
        QFont font = QApplication::font();
        font.setFamilies({name});
        QApplication::setFont(font);
        return name;
    }
    return {};
}

}  // namespace norv::gui
