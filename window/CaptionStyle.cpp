#include "window/CaptionStyle.h"

#include <QFile>
#include <QFontDatabase>
#include <QPainter>
#include <QWidget>
#include <QtEndian>

#include <algorithm>
#include <iterator>
#include <utility>

namespace quillsum {
namespace {

// The fields of a TrueType font are big-endian.
quint16 Get16(const QByteArray &font, qsizetype at) {
  return qFromBigEndian<quint16>(font.constData() + at);
}
quint32 Get32(const QByteArray &font, qsizetype at) {
  return qFromBigEndian<quint32>(font.constData() + at);
}
void Set16(QByteArray &font, qsizetype at, quint16 value) { qToBigEndian(value, font.data() + at); }
void Set32(QByteArray &font, qsizetype at, quint32 value) { qToBigEndian(value, font.data() + at); }

// A table of a TrueType font: its entry in the table directory, and where its bytes are.
struct Table {
  qsizetype entry = -1; // -1: no such table, or not one that lies within the font
  qsizetype offset = 0;
  qsizetype length = 0;
};

// The table tag, when it lies within the font and holds at least size bytes.
Table TableOf(const QByteArray &font, QByteArrayView tag, qsizetype size) {
  if (font.size() < 12)
    return {};
  const qsizetype end = std::min(font.size(), 12 + 16 * qsizetype{Get16(font, 4)});
  for (qsizetype entry = 12; entry + 16 <= end; entry += 16) {
    if (QByteArrayView(font).sliced(entry, 4) != tag)
      continue;
    const qsizetype offset = Get32(font, entry + 8), length = Get32(font, entry + 12);
    if (length < size || offset + length > font.size())
      return {};
    return {entry, offset, length};
  }
  return {};
}

// The pixel sizes that the font has bitmaps for: EBLC's strikes, 48-byte records after an 8-byte
// header, each with its pixels per em at 45.
QList<int> StrikeSizes(const QByteArray &font) {
  QList<int> sizes;
  const Table eblc = TableOf(font, "EBLC", 8);
  if (eblc.entry < 0)
    return sizes;
  const qsizetype count = std::min<qsizetype>(Get32(font, eblc.offset + 4), (eblc.length - 8) / 48);
  for (qsizetype k = 0; k < count; ++k)
    sizes << quint8(font[eblc.offset + 8 + 48 * k + 45]);
  return sizes;
}

// A name table that names the family and its one face, "Regular", in Windows' Unicode records.
QByteArray NameTable(const QString &family) {
  const std::pair<quint16, QString> names[] = {{1, family}, {2, QStringLiteral("Regular")}};
  QByteArray table(6 + 12 * qsizetype{std::size(names)}, '\0');
  QByteArray strings;
  Set16(table, 2, std::size(names));
  Set16(table, 4, table.size());
  qsizetype record = 6;
  for (const auto &[id, name] : names) {
    const quint16 fields[] = {3, 1, 0x409, id, quint16(2 * name.size()), quint16(strings.size())};
    for (const quint16 field : fields) {
      Set16(table, record, field);
      record += 2;
    }
    for (const QChar c : name) {
      strings.append(2, '\0');
      Set16(strings, strings.size() - 2, c.unicode());
    }
  }
  return table + strings;
}

// The font's outlines as the regular face of a family of their own, which has no bold member: asked
// for bold, Qt's FreeType engine emboldens such a face itself, with FT_GlyphSlot_Embolden, which
// thickens every stroke by a 24th of the pixel size drawn and widens the advance as much. Empty
// when the font lacks a table this needs.
QByteArray OutlinesWithoutBold(QByteArray font, const QString &family) {
  const Table os2 = TableOf(font, "OS/2", 64), head = TableOf(font, "head", 46),
              name = TableOf(font, "name", 0);
  if (os2.entry < 0 || head.entry < 0 || name.entry < 0)
    return {};
  Set16(font, os2.offset + 4, 400); // usWeightClass: regular
  // fsSelection: not BOLD (bit 5) but REGULAR (bit 6); macStyle: not bold (bit 0).
  Set16(font, os2.offset + 62, (Get16(font, os2.offset + 62) & ~0x20) | 0x40);
  Set16(font, head.offset + 44, Get16(font, head.offset + 44) & ~1);
  // The new name table goes at the end, 4-byte aligned, in place of the old one.
  font.append((4 - font.size() % 4) % 4, '\0');
  const QByteArray names = NameTable(family);
  Set32(font, name.entry + 8, font.size());
  Set32(font, name.entry + 12, names.size());
  return font + names;
}

struct Faces {
  // Wine's Tahoma bold, registered here: Debian's fonts-wine puts it where fontconfig does not
  // look. Without it, the name finds Qt's nearest sans bold, which is bold at every size.
  QString bold = QStringLiteral("Tahoma");
  QString emboldened; // its outlines, emboldened where drawn; "" without Wine's Tahoma
  QList<int> strikes; // the pixel sizes of its bitmaps
};

const Faces &CaptionFaces() {
  static const Faces faces = [] {
    Faces found;
    QFile file(QStringLiteral("/usr/share/wine/fonts/tahomabd.ttf"));
    if (!file.open(QIODevice::ReadOnly))
      return found;
    const QByteArray font = file.readAll();
    const int bold = QFontDatabase::addApplicationFontFromData(font);
    found.bold = QFontDatabase::applicationFontFamilies(bold).value(0, found.bold);
    const int outlines = QFontDatabase::addApplicationFontFromData(
        OutlinesWithoutBold(font, QStringLiteral("Quillsum Tahoma Outlines")));
    found.emboldened = QFontDatabase::applicationFontFamilies(outlines).value(0);
    found.strikes = StrikeSizes(font);
    return found;
  }();
  return faces;
}

} // namespace

CaptionStyle::CaptionStyle(QObject *parent) { setParent(parent); }

void CaptionStyle::Apply(QWidget *control) {
  QFont font(CaptionFaces().bold);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(8.25);
  font.setWeight(QFont::Bold);
  // Without antialiasing, so that FreeType draws the bitmaps where the face has them: asked for
  // antialiased glyphs, Qt takes the outlines only.
  font.setStyleStrategy(QFont::NoAntialias);
  control->setFont(font);
  control->setStyle(this);
}

void CaptionStyle::drawItemText(QPainter *painter, const QRect &rect, int flags,
                                const QPalette &palette, bool enabled, const QString &text,
                                QPalette::ColorRole textRole) const {
  const Faces &faces = CaptionFaces();
  const QTransform device = painter->deviceTransform();
  const qreal scale = device.m11();
  if (faces.emboldened.isEmpty() || painter->font().family() != faces.bold ||
      device.type() > QTransform::TxScale || scale <= 0 || device.m22() != scale) {
    QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, textRole);
    return;
  }
  // Drawn in device pixels, so that FreeType is asked for the size shown: under a scaled painter,
  // as on a screen of 1.25 or 2 device pixels a pixel, it would hint and embolden the outlines at
  // the unscaled size, and scale them after. Where the face has bitmaps for that size, they are
  // drawn as they are; elsewhere its outlines, emboldened and antialiased like any outline.
  painter->save();
  painter->setWorldTransform(QTransform::fromScale(1 / scale, 1 / scale) *
                             painter->worldTransform());
  QFont font = painter->font();
  font.setPointSizeF(font.pointSizeF() * scale);
  painter->setFont(font);
  if (!faces.strikes.contains(painter->fontInfo().pixelSize())) {
    font.setFamily(faces.emboldened);
    font.setStyleStrategy(QFont::PreferAntialias);
    painter->setFont(font);
  }
  const QRectF scaled(QPointF(rect.topLeft()) * scale, QSizeF(rect.size()) * scale);
  QProxyStyle::drawItemText(painter, scaled.toRect(), flags, palette, enabled, text, textRole);
  painter->restore();
}

} // namespace quillsum
