// Volumes on Windows: the logical drives with their type, label and file system, and the
// removal steps as volume control codes on "\\.\E:". A volume's lock belongs to the handle
// that took it, so the handle opened for the first step is kept until the sequence ends (the
// eject, or a failed dismount or allow-removal step) and every step goes through it.

#include "windows/wide_text.h"
#include "windows/windows_backends.h"

#include <windows.h>

#include <cctype>
#include <map>
#include <mutex>

namespace platform::windows_backend {
namespace {

constexpr DWORD kLockVolume = 0x00090018;
constexpr DWORD kDismountVolume = 0x00090020;
constexpr DWORD kMediaRemoval = 0x002D4804;
constexpr DWORD kEjectMedia = 0x002D4808;

class LogicalDriveVolumes : public VolumeService {
public:
    bool mountedVolumes(std::vector<VolumeInfo>& volumes) override
    {
        volumes.clear();
        wchar_t drives[261] = {};
        const DWORD length = GetLogicalDriveStringsW(260, drives);
        if (length == 0 || length > 260)
            return false;
        for (const wchar_t* root = drives; *root; root += wcslen(root) + 1) {
            VolumeInfo info;
            if (!narrow(root, info.root))
                continue; // a root is a letter, a colon and a backslash: nothing else is ours
            info.removable = GetDriveTypeW(root) == DRIVE_REMOVABLE;
            wchar_t label[100] = {};
            wchar_t fileSystem[100] = {};
            if (GetVolumeInformationW(root, label, 99, nullptr, nullptr, nullptr, fileSystem, 99)) {
                // A label or file-system name beyond ASCII is not one the drive search matches.
                narrow(label, info.label);
                narrow(fileSystem, info.fileSystem);
            }
            volumes.push_back(info);
        }
        return true;
    }

    // The folders in the root, by FindFirstFileW on "<root>*".
    bool rootFolders(const std::string& root, std::vector<std::string>& names) override
    {
        names.clear();
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW(widen(root + "*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE)
            return false;
        do {
            const std::wstring name = entry.cFileName;
            std::string narrowName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L".."
                && narrow(name, narrowName))
                names.push_back(narrowName);
        } while (FindNextFileW(find, &entry));
        FindClose(find);
        return true;
    }

    bool removalStep(const std::string& root, VolumeStep step) override
    {
        if (root.size() < 2 || root[1] != ':' || !std::isalpha(static_cast<unsigned char>(root[0])))
            return false;
        const char letter = char(std::toupper(static_cast<unsigned char>(root[0])));
        std::lock_guard<std::mutex> lock(m_mutex);
        HANDLE volume = handleFor(letter);
        if (volume == INVALID_HANDLE_VALUE)
            return false;
        DWORD returned = 0;
        bool ok = false;
        switch (step) {
        case VolumeStep::Lock:
            ok = DeviceIoControl(volume, kLockVolume, nullptr, 0, nullptr, 0, &returned, nullptr);
            break;
        case VolumeStep::Dismount:
            ok = DeviceIoControl(volume, kDismountVolume, nullptr, 0, nullptr, 0, &returned, nullptr);
            if (!ok)
                release(letter);
            break;
        case VolumeStep::AllowRemoval: {
            BYTE prevent = 0;
            ok = DeviceIoControl(volume, kMediaRemoval, &prevent, sizeof prevent, nullptr, 0, &returned, nullptr);
            if (!ok)
                release(letter);
            break;
        }
        case VolumeStep::Eject:
            ok = DeviceIoControl(volume, kEjectMedia, nullptr, 0, nullptr, 0, &returned, nullptr);
            release(letter);
            break;
        }
        return ok;
    }

private:
    HANDLE handleFor(char letter)
    {
        auto it = m_handles.find(letter);
        if (it != m_handles.end())
            return it->second;
        const wchar_t path[] = { L'\\', L'\\', L'.', L'\\', wchar_t(letter), L':', 0 };
        HANDLE volume = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume != INVALID_HANDLE_VALUE)
            m_handles[letter] = volume;
        return volume;
    }

    void release(char letter)
    {
        auto it = m_handles.find(letter);
        if (it == m_handles.end())
            return;
        CloseHandle(it->second);
        m_handles.erase(it);
    }

    std::mutex m_mutex;
    std::map<char, HANDLE> m_handles;
};

} // namespace

VolumeService& logicalDriveVolumes()
{
    static LogicalDriveVolumes service;
    return service;
}

} // namespace platform::windows_backend
