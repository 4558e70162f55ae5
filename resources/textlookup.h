// Texts by numeric id, in the user's language, from the resource packages in
// the "resource" folder beside the executable. GUI thread only.
#pragma once

#include <QString>

// The text with this id in the given language (0: the current language), or
// an empty text when no package holds a non-empty one; callers then show
// their own English literal.
QString textById(int id, int language = 0);

// Where the current language (0 to 8) comes from: the updater registers a
// function that reads its dialog's language. Without one it is 1 (English).
using CurrentLanguageFn = unsigned (*)();
void setCurrentLanguageSource(CurrentLanguageFn source);
