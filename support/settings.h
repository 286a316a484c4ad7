#pragma once

#include <QString>

// The remembered choices, each stored as text in the group [Tintorel] of Varnholt.conf in the
// user's configuration folder. Every value is written at the moment the choice changes, never at
// exit, and read afresh whenever it is needed.
namespace SettingKey {
inline const QString Placement = QStringLiteral("Combo1");
inline const QString SaveOption = QStringLiteral("Save Option");
inline const QString OutputFolder = QStringLiteral("Text2");
inline const QString LastOutputPickerFolder = QStringLiteral("LastFolderDot");
inline const QString Extension = QStringLiteral("Extension");
inline const QString LastScanFolder = QStringLiteral("LastFolder");
// How JPG copies of JPEG pictures are written: true stamps them losslessly, anything else
// re-encodes them. No control of the window sets it; it is edited in the file and read when a
// run starts.
inline const QString JpegLossless = QStringLiteral("JpegLossless");
// How far a watermark colour may lie from the transparent colour and still be left out, 0 to 255
// (0, only the colour itself, when unset or not such a number). Edited in the file like
// JpegLossless and read when a run or a preview starts.
inline const QString KeyTolerance = QStringLiteral("KeyTolerance");
} // namespace SettingKey

// The stored value, or the default when the name holds none. Reading never writes.
QString GetSetting(const QString& name, const QString& defaultValue = QString());

// Stores the value under the name at once. Raises a Failure when the store cannot be written.
void SaveSetting(const QString& name, const QString& value);

// True when a value of that name is stored.
bool HasSetting(const QString& name);

// A stored yes-or-no: true for "true", "yes", "on" or "1" in any letter case, otherwise false.
bool SettingIsTrue(const QString& name);

// The stored key tolerance, 0 to 255; 0 for a value that is no such number.
int KeyToleranceSetting();

// A stored index read as a 16-bit signed integer, as the window's start-up requires. Raises a
// Failure for a text that is no such number.
int SettingAsIndex(const QString& name, int defaultValue);
