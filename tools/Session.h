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
EngineChoice EngineFor(const CommandLine& line);

class Session {
public:
    // Opens and locks the image named by the first operand and applies the
    // window. Commands that only read open the image read-only. Reports its
    // own failure on stderr.
    bool OpenDevice(const CommandLine& line, platform::Access access);
    // Mounts the volume on the opened device with the chosen engine. A
    // command that writes refuses a volume marked dirty unless --force is given.
    bool Mount(const CommandLine& line);
    // Both of the above.
    bool Open(const CommandLine& line, platform::Access access) { return OpenDevice(line, access) && Mount(line); }
    // Reads the boot sector, reporting a volume that is no NTFS.
    bool CheckBootSector(const CommandLine& line, BootSectorFacts& boot);
    // "COMMAND IMAGE", how a failure about the image as a whole begins.
    std::string Context(const CommandLine& line) const { return line.command + " " + m_imagePath; }
    // Releases the volume, reporting a failure to write it back.
    bool Close();

    ImageDevice& Device() { return m_device; }
    Engine& Volume() { return *m_engine; }
    const std::string& ImagePath() const { return m_imagePath; }

private:
    bool ApplyWindow(const CommandLine& line);
    void ReportMountFailure(const CommandLine& line);
    bool RefuseDirtyVolume(const CommandLine& line);

    std::string m_imagePath;
    platform::Access m_access = platform::Access::Read;
    ImageDevice m_device;
    std::unique_ptr<Engine> m_engine;
};

}  // namespace volcore::tool
