#include "app/gui/DialogRegistry.h"

#include <unordered_map>

#include "datagram/gui/DatagramDialogs.h"
#include "export/gui/ExportDlg.h"
#include "playback/gui/PlayBackDlg.h"
#include "relay/gui/RelayGui.h"

namespace {
std::unordered_map<UINT, DialogFactory>& Registry()
{
    static std::unordered_map<UINT, DialogFactory> registry;
    return registry;
}
}  // namespace

void RegisterDialog(UINT nIDD, DialogFactory factory)
{
    Registry()[nIDD] = std::move(factory);
}

int RunRegisteredDialog(UINT nIDD, QWidget* pParent, CMidwireDoc& doc, void* pData)
{
    const auto it = Registry().find(nIDD);
    return it == Registry().end() ? IDCANCEL : it->second(pParent, doc, pData);
}

bool HasRegisteredDialog(UINT nIDD)
{
    return Registry().count(nIDD) != 0;
}

void RegisterAllDialogs()
{
    // Each subsystem registers its dialogs below.
    RegisterDatagramDialogs();
    RegisterExportDialogs();
    RegisterPlaybackDialogs();
    RegisterRelayDialogs();
}
