#pragma once

#include <QProxyStyle>

namespace quillsum {

// The captions' look: Tahoma bold 8.25 pt, drawn bold at every size. Wine's Tahoma bold is bold
// only in its bitmaps, made for a few pixel sizes; its outlines are as thin as the regular face's.
// Where no bitmap serves, this style draws the outlines emboldened instead.
class CaptionStyle : public QProxyStyle {
public:
  explicit CaptionStyle(QObject *parent);

  // Gives control the captions' font, drawn through this style.
  void Apply(QWidget *control);

  void drawItemText(QPainter *painter, const QRect &rect, int flags, const QPalette &palette,
                    bool enabled, const QString &text,
                    QPalette::ColorRole textRole = QPalette::NoRole) const override;
};

} // namespace quillsum
