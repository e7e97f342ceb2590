#pragma once
// What both interfaces of the remote control share: how a call fails
// outright, and the checks of texts that reach the registry or the wire.
#include "console/clsControl.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"

#include <QFile>
#include <QString>
#include <string>

namespace control {

// The interface element of an introspection file compiled in from
// packaging/, so what the object says about itself and what is installed
// cannot drift apart.
inline QString InterfaceElement(const QString& resource) {
  QFile file(resource);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QString xml = QString::fromUtf8(file.readAll());
  const qsizetype begin = xml.indexOf(QLatin1String("<interface "));
  const QLatin1String endTag("</interface>");
  const qsizetype end = xml.lastIndexOf(endTag);
  if (begin < 0 || end < begin) return {};
  return QStringLiteral("  ") + xml.mid(begin, end + endTag.size() - begin) + QLatin1Char('\n');
}

// A call that fails outright: the D-Bus error name and its text.
struct ControlError {
  const char* name;
  QString text;
};

// The body of a Message or AddGod packet is the type byte and the text, and
// a body must fit the 16-bit length prefix.
inline constexpr int kMaxMessageBytes = 65534;

// Text the registry keeps or sends must be code page 1252. A character
// outside it would silently become '?', and a name would then find or
// overwrite another one, so such a text is refused instead.
inline std::string Cp1252Arg(const QString& text, const char* argument) {
  std::string bytes = cp1252::FromUnicode(text);
  if (cp1252::ToUnicode(bytes) != text)
    throw ControlError{kInvalidText, QStringLiteral("%1 holds a character that code page 1252 "
                                                         "cannot represent")
                                              .arg(QLatin1String(argument))};
  return bytes;
}

// A packet body of the type byte and the text.
inline std::string PacketBody(std::uint8_t type, const std::string& text) {
  if (text.size() > std::size_t(kMaxMessageBytes))
    throw ControlError{kMessageTooLong, QStringLiteral("A message holds at most %1 characters, "
                                                            "not %2")
                                                 .arg(kMaxMessageBytes)
                                                 .arg(text.size())};
  return char(type) + text;
}

}  // namespace control
