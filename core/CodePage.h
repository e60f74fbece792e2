#pragma once

#include <QByteArray>
#include <QString>

// The single-byte code page of the settings file and of the socket: Windows-1252 (the system
// ANSI code page on Windows). A character it cannot hold becomes '?'.
QByteArray ToCodePage(const QString& text);
QString FromCodePage(const QByteArray& bytes);
bool FitsCodePage(const QString& text);
