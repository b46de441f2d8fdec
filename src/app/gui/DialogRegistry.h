// Modal dialogs of the desktop program, by dialog id.
//
// The session asks the window side for a dialog by id (CFrontEnd::DoModal);
// the main window runs the dialog registered for that id. Each subsystem's
// gui/ folder registers its dialogs in a function that RegisterAllDialogs
// calls.
#pragma once

#include <functional>

#include "app/resource.h"

class QWidget;
class CMidwireDoc;

// Shows the dialog bound to the document (and to pData where the dialog needs
// more); returns IDOK or IDCANCEL.
using DialogFactory = std::function<int(QWidget* pParent, CMidwireDoc& doc, void* pData)>;

void RegisterDialog(UINT nIDD, DialogFactory factory);
// IDCANCEL when no dialog is registered for the id.
int RunRegisteredDialog(UINT nIDD, QWidget* pParent, CMidwireDoc& doc, void* pData);
bool HasRegisteredDialog(UINT nIDD);

// Registers every dialog of the program.
void RegisterAllDialogs();
