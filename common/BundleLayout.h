#ifndef VELTORA_BUNDLELAYOUT_H
#define VELTORA_BUNDLELAYOUT_H

#include <QString>

// The installed bundle: Contents/MacOS holds the programs, Contents/Frameworks the Qt
// libraries (found through the programs' relative run path), Contents/PlugIns the Qt
// plug-ins, named by Contents/Resources/qt.conf. A program copied with these folders
// elsewhere (the setup program under Contents/backup) loads what lies beside it.
namespace BundleLayout {

// Reads ../Resources/qt.conf next to the running executable and, when it names a
// plug-in folder, makes that the only place plug-ins are loaded from. Call before
// the application object exists. Returns the folder, or empty when there is no qt.conf.
QString usePluginsBesideExecutable();

} // namespace BundleLayout

#endif
