// The menus, accelerators, toolbar and command prompts of the main window.
#pragma once

#include <vector>

#include "app/resource.h"

// One menu item; an id of 0 is a separator.
struct MenuItemDef {
    UINT nID;
    const char* pszText;  // with '&' mnemonic and "\t" accelerator text
};

struct MenuDef {
    const char* pszTitle;
    std::vector<MenuItemDef> items;
};

// The menu bar, left to right.
const std::vector<MenuDef>& MainMenus();

// The toolbar, left to right; 0 is a gap.
const std::vector<UINT>& ToolbarButtons();

// Accelerators: key sequence texts by command.
struct AcceleratorDef {
    UINT nID;
    const char* pszKeys;
};
const std::vector<AcceleratorDef>& Accelerators();

// The command's prompt (status bar) and tooltip; empty when it has none.
struct CommandPrompt {
    const char* pszPrompt;
    const char* pszTooltip;
};
CommandPrompt GetCommandPrompt(UINT nID);
