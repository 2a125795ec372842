// The file-open dialog: checks the request, shows it to the operator in
// front of its owner and hands back the chosen path in the caller's buffer.
#include <windows.h>
#include <commdlg.h>
#include <cderr.h>

#include <nlohmann/json.hpp>

#include "threads_internal.h"
#include "ui.h"
#include "wince/host.h"

namespace {

nlohmann::json text(const std::u16string &s) { return wince::toUtf8(s); }

// What CommDlgExtendedError reports, per thread as on the platform.
thread_local DWORD lastDialogError = 0;

}  // namespace

void wince::forgetFileDialogError() { lastDialogError = 0; }

namespace {

BOOL refuse(const std::string &reason, DWORD dialogError) {
    wince::currentBoard().log().append({{"event", "fileopen_failed"}, {"reason", reason}});
    SetLastError(ERROR_INVALID_PARAMETER);
    lastDialogError = dialogError;
    return FALSE;
}

// The dialog cannot show a name no file on a FAT volume can have: control
// characters, wildcards, quotes, colons, angle brackets and bars (folders are
// separated by backslashes). The board's dialog fails the call for such an
// initial name before it shows anything.
bool validPath(const std::u16string &path) {
    for (char16_t c : path)
        if (c < 0x20 || std::u16string_view(u"\"*:<>?|").find(c) != std::u16string_view::npos) return false;
    return true;
}

// The filter list: name and pattern pairs, each NUL-ended, ended by an empty name.
std::vector<std::pair<std::u16string, std::u16string>> filters(LPCWSTR list) {
    std::vector<std::pair<std::u16string, std::u16string>> out;
    if (list == nullptr) return out;
    for (;;) {
        std::u16string name(list);
        if (name.empty()) break;
        list += name.size() + 1;
        std::u16string pattern(list);
        list += pattern.size() + 1;
        out.emplace_back(std::move(name), std::move(pattern));
        if (out.back().second.empty()) break;  // a name without a pattern ends the list
    }
    return out;
}

bool isFolder(const std::u16string &path) {
    if (path.empty()) return true;  // the root
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Why the dialog would not take `path`, or empty when it does.
std::string refusal(const std::u16string &path, DWORD flags) {
    if (path.empty()) return "no file name";
    // The board's file functions take no longer path: said as such, not as a
    // missing file.
    if (path.size() > MAX_PATH - 1)
        return "the path is " + std::to_string(path.size()) + " characters, longer than the board's limit of " +
               std::to_string(MAX_PATH - 1);
    const size_t slash = path.rfind(u'\\');
    const std::u16string folder = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
    if ((flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) && !isFolder(folder)) return "no such folder on the board";
    if (flags & OFN_FILEMUSTEXIST) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return "no such file on the board";
    }
    return {};
}

// A name typed without a folder is taken in the folder the dialog shows.
std::u16string absolute(const std::u16string &chosen, const std::u16string &initialDir) {
    if (chosen.empty() || chosen[0] == u'\\') return chosen;
    std::u16string folder = initialDir.empty() ? std::u16string(u"\\") : initialDir;
    if (folder.back() != u'\\') folder += u'\\';
    return folder + chosen;
}

}  // namespace

DWORD WINAPI CommDlgExtendedError(void) { return lastDialogError; }

BOOL WINAPI GetOpenFileNameW(LPOPENFILENAMEW lpofn) {
    using namespace wince::ui;
    lastDialogError = 0;
    if (lpofn == nullptr) return refuse("no request", CDERR_INITIALIZATION);
    if (lpofn->lStructSize != sizeof(OPENFILENAMEW))
        return refuse(
            "lStructSize is " + std::to_string(lpofn->lStructSize) + ", not " + std::to_string(sizeof(OPENFILENAMEW)),
            CDERR_STRUCTSIZE);
    if (lpofn->lpstrFile == nullptr || lpofn->nMaxFile == 0) return refuse("no file name buffer", CDERR_INITIALIZATION);

    wince::FileOpenView view;
    view.structSize = lpofn->lStructSize;
    if (lpofn->hwndOwner != nullptr) {
        auto owner = ownerCaption(lpofn->hwndOwner);
        if (!owner) return refuse("the owner window does not exist", CDERR_DIALOGFAILURE);
        view.hasOwner = true;
        view.ownerCaption = *owner;
    }
    view.filters = filters(lpofn->lpstrFilter);
    view.filterIndex = lpofn->nFilterIndex;
    if (lpofn->lpstrInitialDir != nullptr) view.initialDir = lpofn->lpstrInitialDir;
    for (DWORD i = 0; i < lpofn->nMaxFile && lpofn->lpstrFile[i] != 0; ++i) view.initialFile += lpofn->lpstrFile[i];
    if (!validPath(view.initialFile))
        return refuse("the initial file name \"" + wince::toUtf8(view.initialFile) + "\" is not a valid name",
                      FNERR_INVALIDFILENAME);
    view.maxFile = lpofn->nMaxFile;
    view.flags = lpofn->Flags;

    nlohmann::json event = {
        {"event", "fileopen"},
        {"owner", view.hasOwner ? text(view.ownerCaption) : nlohmann::json(nullptr)},
        {"filters", nlohmann::json::array()},
        {"filter_index", view.filterIndex},
        {"initial_dir", lpofn->lpstrInitialDir != nullptr ? text(view.initialDir) : nlohmann::json(nullptr)},
        {"initial_file", text(view.initialFile)},
        {"flags", view.flags},
        {"max_file", view.maxFile},
        {"result", nullptr}};
    for (auto &[name, pattern] : view.filters)
        event["filters"].push_back({{"name", text(name)}, {"pattern", text(pattern)}});

    struct InFront {
        uint64_t token;
        ~InFront() { leaveFront(token); }
    } inFront{bringToFront(FrontKind::FileOpen, nullptr, lpofn->hwndOwner)};

    std::u16string path;
    for (;;) {
        std::optional<std::u16string> answer;
        runModal([&] { answer = wince::currentOperator().onFileOpen(view); });
        if (!answer) {
            wince::currentBoard().log().append(event);
            SetLastError(ERROR_SUCCESS);
            return FALSE;
        }
        path = absolute(*answer, view.initialDir);
        std::string why = refusal(path, view.flags);
        if (why.empty()) break;
        // A name that fills the program's buffer may have been cut to fit it.
        if (*answer == view.initialFile && view.maxFile > 1 && view.initialFile.size() == view.maxFile - 1)
            why += " (the name fills the program's " + std::to_string(view.maxFile - 1) +
                   "-character buffer: a longer name given to the program was cut to fit)";
        // The dialog stays open and says why, as the platform's does.
        wince::currentBoard().log().append({{"event", "fileopen_refused"}, {"path", text(path)}, {"reason", why}});
        view.refusedPath = path;
        view.refusal = why;
    }

    if (path.size() > lpofn->nMaxFile - 1) {
        event["error"] = "the path does not fit the buffer";
        wince::currentBoard().log().append(event);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        lastDialogError = FNERR_BUFFERTOOSMALL;
        return FALSE;
    }
    std::copy(path.begin(), path.end(), lpofn->lpstrFile);
    lpofn->lpstrFile[path.size()] = 0;
    const size_t slash = path.rfind(u'\\');
    const size_t nameAt = slash == std::u16string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind(u'.');
    lpofn->nFileOffset = static_cast<WORD>(nameAt);
    // After the last dot of the name; the end of the path when it has none;
    // 0 when the name ends with its dot.
    if (dot == std::u16string::npos || dot < nameAt) lpofn->nFileExtension = static_cast<WORD>(path.size());
    else lpofn->nFileExtension = static_cast<WORD>(dot + 1 == path.size() ? 0 : dot + 1);
    if (lpofn->lpstrFileTitle != nullptr && lpofn->nMaxFileTitle > 0) {
        const std::u16string name = path.substr(nameAt);
        const size_t n = std::min<size_t>(name.size(), lpofn->nMaxFileTitle - 1);
        std::copy_n(name.begin(), n, lpofn->lpstrFileTitle);
        lpofn->lpstrFileTitle[n] = 0;
    }
    event["result"] = text(path);
    wince::currentBoard().log().append(event);
    return TRUE;
}
