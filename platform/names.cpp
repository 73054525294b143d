#include "platform/names.h"

#include <vector>

#include "platform/format.h"

namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
#else
constexpr char kSeparator = '/';
bool IsSeparator(char c) { return c == '/'; }
#endif

std::size_t LastSeparator(const std::string& name) {
    for (std::size_t i = name.size(); i > 0; --i)
        if (IsSeparator(name[i - 1])) return i - 1;
    return std::string::npos;
}

// The parts between separators; empty parts (doubled separators) dropped.
std::vector<std::string> Parts(const std::string& name) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : name) {
        if (IsSeparator(c)) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

}  // namespace

bool NbIsAbsoluteName(const std::string& name) {
    if (!name.empty() && IsSeparator(name[0])) return true;
#if defined(_WIN32)
    if (name.size() >= 2 && name[1] == ':') return true;  // a drive, as "c:\images"
#endif
    return false;
}

std::string NbFolderOf(const std::string& name) {
    const std::size_t at = LastSeparator(name);
    if (at == std::string::npos) return "";
    if (at == 0) return name.substr(0, 1);  // the root
    return name.substr(0, at);
}

std::string NbLeafOf(const std::string& name) {
    const std::size_t at = LastSeparator(name);
    return at == std::string::npos ? name : name.substr(at + 1);
}

std::string NbJoinName(const std::string& folder, const std::string& name) {
    if (folder.empty() || NbIsAbsoluteName(name)) return name;
    if (IsSeparator(folder.back())) return folder + name;
    return folder + kSeparator + name;
}

std::string NbRelativeName(const std::string& folder, const std::string& name) {
    if (NbIsAbsoluteName(folder) != NbIsAbsoluteName(name)) return "";
#if defined(_WIN32)
    // Two drives have no way between them.
    if (NbIsAbsoluteName(name) && name.size() >= 2 && name[1] == ':' &&
        (folder.size() < 2 || (folder[0] | 0x20) != (name[0] | 0x20)))
        return "";
#endif
    const std::vector<std::string> from = Parts(folder), to = Parts(NbFolderOf(name));
    for (const std::vector<std::string>* parts : {&from, &to})
        for (const std::string& part : *parts)
            if (part == "." || part == "..") return "";
    std::size_t common = 0;
    while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
    std::string relative;
    for (std::size_t i = common; i < from.size(); ++i) relative += std::string("..") + kSeparator;
    for (std::size_t i = common; i < to.size(); ++i) relative += to[i] + kSeparator;
    return relative + NbLeafOf(name);
}

NbResult NbBackupName(const char* fileName, char* out, std::uint32_t size) {
    return NbFormatName(out, size, "%s.backup", fileName);
}
