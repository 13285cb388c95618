// Small services of the application shared by its windows: message boxes
// (with a seam for tests), the exception handler's text, the CD-ROM check of
// a folder, the executable's folder, asking the desktop to open a file or web
// page, turning an engine bitmap into a QImage, and the picture labels that
// show a source's still picture.
//
// Threads: GUI thread only, except BitmapToImage and the pure helpers.
#pragma once
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QString>
#include <QUrl>
#include <exception>
#include <functional>

class TBitmap;

// The application title: the main window's caption and the caption of its
// message boxes.
inline constexpr const char* APP_TITLE = "Quellon V1.20";

// Shows a modal message box. When a sink is installed (tests), the sink gets
// the box instead and nothing is shown.
using TMessageSink = std::function<void(QMessageBox::Icon icon, const QString& title,
                                        const QString& text)>;
void SetMessageSink(TMessageSink sink);
void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& text);

// Asks a yes/no question in a modal box (No is the default); true for Yes.
// When a sink is installed (tests), the sink answers instead.
using TQuestionSink = std::function<bool(const QString& title, const QString& text)>;
void SetQuestionSink(TQuestionSink sink);
bool AskQuestion(QWidget* parent, const QString& title, const QString& text);
// Asks a question with two answers named on their buttons; the second is
// the default and the answer of Esc (it keeps what goes on). True for the
// first. The question sink answers instead when one is installed (true:
// the first answer).
bool AskChoice(QWidget* parent, const QString& title, const QString& text, const QString& first,
               const QString& second);

// The exception handler's text: the message, with "." appended when its last
// character sorts after ".".
QString ExceptionText(const QString& message);
// The application's exception handler: the text above in a box captioned with
// the application title, a warning for the engine's exception class and an
// error for all others.
void ShowException(const std::exception& error);

// True when a file system of that type or with those mount flags counts as a
// CD-ROM drive: optical (iso9660, udf) or mounted read-only.
bool IsCdRomFileSystem(long fsType, unsigned long mountFlags);
// True when the folder lies on such a file system; a folder that does not
// exist is judged by its nearest existing parent. Tests may replace the check.
bool IsCdRomFolder(const QString& folder);
using TCdRomCheck = std::function<bool(const QString& folder)>;
void SetCdRomCheck(TCdRomCheck check);  // empty: the real check

// The executable's folder, with a trailing '/'.
QString ExeDir();
// Asks the desktop to open a local file or folder, or a URL ("mailto:", "https:");
// false when nothing could open it (no browser or file manager). Tests may
// replace the desktop.
bool ShellOpen(const QString& fileOrUrl);
using TUrlOpener = std::function<bool(const QUrl& url)>;
void SetUrlOpener(TUrlOpener opener);  // empty: QDesktopServices::openUrl

// Whether the machine has a sound output device to play on. Tests may
// replace the check.
bool HasAudioOutputDevice();
using TAudioDeviceCheck = std::function<bool()>;
void SetAudioDeviceCheck(TAudioDeviceCheck check);  // empty: the real check

// A deep copy of a 24-bit BGR bitmap (null image when it is empty).
QImage BitmapToImage(TBitmap& bitmap);
// A colour given as 0x00BBGGRR (red in the low byte), the form the window's
// fill colours are written in.
QColor ColorFromBGR(unsigned bgr);
// What a picture label shows while it has no picture: a light blue.
inline constexpr unsigned PICTURE_FILL = 0xF0CAA6;  // 0x00BBGGRR
// A picture label filled with one colour.
void FillPicture(QLabel* label, const QColor& color);
// A picture label showing the picture scaled to fit, its aspect kept.
void ShowPicture(QLabel* label, const QImage& picture);
