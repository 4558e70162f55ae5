#include "updatehost.h"

CurrentDialogRef currentDialog;
