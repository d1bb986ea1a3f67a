#pragma once
// One command's hold on its image: the device (with its --offset or
// --partition window) and, for the commands that work on files, the engine.
#include <memory>
#include <string>

#include "CommandLine.h"
#include "Engine.h"
#include "ImageDevice.h"
#include "VolumeFacts.h"

namespace volcore::tool {

// Which engine serves a command: the user's choice, else native where it
// serves the command, else ntfs3g.
EEngineChoice EngineFor(const SCommandLine& line);

class CSession {
public:
    // Opens and locks the image named by the first operand and applies the
    // window. Commands that only read open the image read-only. Reports its
    // own failure on stderr.
    bool OpenDevice(const SCommandLine& line, platform::EAccess access);
    // Mounts the volume on the opened device with the chosen engine. A
    // command that writes refuses a volume marked dirty unless --force is given.
    bool Mount(const SCommandLine& line);
    // Both of the above.
    bool Open(const SCommandLine& line, platform::EAccess access) { return OpenDevice(line, access) && Mount(line); }
    // Reads the boot sector, reporting a volume that is no NTFS.
    bool CheckBootSector(const SCommandLine& line, SBootSectorFacts& boot);
    // "COMMAND IMAGE", how a failure about the image as a whole begins.
    std::string Context(const SCommandLine& line) const { return line.command + " " + m_imagePath; }
    // Releases the volume, reporting a failure to write it back.
    bool Close();

    CImageDevice& Device() { return m_device; }
    IEngine& Volume() { return *m_engine; }
    const std::string& ImagePath() const { return m_imagePath; }

private:
    bool ApplyWindow(const SCommandLine& line);
    void ReportMountFailure(const SCommandLine& line);
    bool RefuseDirtyVolume(const SCommandLine& line);

    std::string m_imagePath;
    platform::EAccess m_access = platform::EAccess::Read;
    CImageDevice m_device;
    std::unique_ptr<IEngine> m_engine;
};

}  // namespace volcore::tool
