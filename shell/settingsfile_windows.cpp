// The settings are in the registry: no file to check.
#include "appshell.h"

QString settingsFileProblem() { return QString(); }
