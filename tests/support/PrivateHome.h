#pragma once
// A private HOME for as long as the object lives, so the settings files that devices write
// stay out of the user's; the old HOME (or its absence) comes back afterwards.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kexttest {

class PrivateHome {
public:
    PrivateHome()
    {
        char folder[] = "/tmp/tarsel-home-XXXXXX";
        if (mkdtemp(folder) != nullptr)
            m_folder = folder;
        if (const char* old = getenv("HOME")) {
            m_hadHome = true;
            m_oldHome = old;
        }
        if (!m_folder.empty())
            setenv("HOME", m_folder.c_str(), 1);
    }
    ~PrivateHome()
    {
        if (m_hadHome)
            setenv("HOME", m_oldHome.c_str(), 1);
        else
            unsetenv("HOME");
        std::error_code ignored;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ignored);
    }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    // The folder HOME names; empty when none could be made (HOME is then left as it was).
    const std::filesystem::path& folder() const { return m_folder; }

private:
    std::filesystem::path m_folder;
    std::string m_oldHome;
    bool m_hadHome = false;
};

} // namespace kexttest
