// A fresh folder for one test, removed with its contents at the end.
#ifndef TAVRINEL_TESTS_SUPPORT_TEMP_FOLDER_H
#define TAVRINEL_TESTS_SUPPORT_TEMP_FOLDER_H

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class TempFolder {
public:
    // Under the test temporary folder; Path() is empty when none could be made.
    explicit TempFolder(const std::string &prefix = "tavrinel-test") {
        std::string pattern =
            std::filesystem::temp_directory_path().string() + "/" + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    [[nodiscard]] const std::string &Path() const { return path_; }
    [[nodiscard]] std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace testsupport

#endif // TAVRINEL_TESTS_SUPPORT_TEMP_FOLDER_H
