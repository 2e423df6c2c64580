// Texts at the border between the core (Shift_JIS) and the widgets (Unicode).
#pragma once
#include <QString>
#include <string>
#include <string_view>

#include "os/cp932.h"
#include "pagelib/charref.h"

namespace zentu::ui {

// A Shift_JIS text of the core as the widgets show it.
inline QString Q(std::string_view sjis) {
  std::string utf8 = os::SjisToUtf8(sjis);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// A title of the tree as the views show it: the character references a
// stored title keeps (for what code page 932 cannot hold) decoded.
inline QString QTitle(std::string_view sjis) {
  std::string utf8 = DecodeReferencesForDisplay(sjis);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// A widget's text as the core keeps it.
inline std::string S(const QString& text) {
  QByteArray utf8 = text.toUtf8();
  return os::Utf8ToSjis(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

// A UTF-8 literal of this source.
inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace zentu::ui
