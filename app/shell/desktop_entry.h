// The app's desktop entry: how the desktop's menu finds Korvo Tallisk and how a
// "korvovesk:" link (the hotkey's way in) reaches it.
#pragma once

#include <QString>

namespace Korvo_Tallisk {

// The entry's text for the program at `programPath`.
QString DesktopEntryText(const QString& programPath);

// Writes the entry into the user's applications folder and makes it the default
// handler of x-scheme-handler/korvovesk in the user's mimeapps.list (the other entries
// of that file stay as they are). Returns what it did, one line a file; raises
// app_runtime::hresult_error when a file cannot be written.
QString RegisterDesktopEntry(const QString& programPath, const QString& applicationsFolder = {},
                             const QString& mimeAppsList = {});

}  // namespace Korvo_Tallisk
