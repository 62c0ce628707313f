#include "window/drop_down_limit.h"

#include <QApplication>
#include <QComboBox>
#include <QProxyStyle>

namespace tavrelle::window {
namespace {

// The application's style in every respect but the drop-down's kind.
class ListDropDownStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override
    {
        if (hint == SH_ComboBox_Popup) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

}  // namespace

void limitVisibleEntries(QComboBox& box, int entries)
{
    auto* style = new ListDropDownStyle(QApplication::style()->name());
    style->setParent(&box);
    box.setStyle(style);
    box.setMaxVisibleItems(entries);
}

}  // namespace tavrelle::window
