#include "sound_fixture.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "sound/sound.h"

std::string makeCatalogueFolder()
{
    char pattern[] = "/tmp/seafold-sfx-XXXXXX";
    std::string folder = mkdtemp(pattern);
    std::vector<int16_t> square(800);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 10) % 2 ? 20000 : -20000;
    for (uint32_t i = 0; i < seafold::SoundProfileCount; ++i)
        seafold::writeWaveFile(folder + "/" + seafold::gSoundProfiles[i].fileName, square.data(), square.size(), 8000);
    return folder;
}

void removeFolder(const std::string& folder)
{
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((folder + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(folder.c_str());
}
