#pragma once

// Private to page/.

// A site built whole in a directory of its own beside where it goes, then
// swapped into place in one rename, so that a reader sees the old site or
// the new one and never a mix. Only a directory that is empty or holds a
// site made here (its marker file says so) is ever replaced.

#include "common/UniqueFd.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace triage {

class SiteDirectory {
public:
    enum class Folder { top, groups, reports };

    // Makes OUTDIR.new-XXXXXXXX beside `outDir`, with its folders. `marker`
    // tells sites apart whose report pages differ: only a site with the same
    // marker lends its report pages. Throws crashreports::StartupError if
    // `outDir` is something else than such a site or the directory can't
    // be made.
    SiteDirectory(const std::filesystem::path& outDir, std::string marker);
    SiteDirectory(const SiteDirectory&) = delete;
    SiteDirectory& operator=(const SiteDirectory&) = delete;
    // Removes the new site unless it was published.
    ~SiteDirectory();

    // Writes a new file `name` (a safe name: no slash) into `folder`.
    void write(Folder folder, const std::string& name, std::string_view content);
    // Links `name` in `folder` from the site in place, if that site has the
    // same marker and the file; false if it can't.
    bool linkPrevious(Folder folder, const std::string& name);
    // Writes `name`, or links it from the site in place where that site
    // holds exactly `content` under that name: creating a file costs a
    // filesystem much more than reading one.
    void writeOrLinkSame(Folder folder, const std::string& name, std::string_view content);
    // Writes the marker and puts the new site in place of the old one,
    // which is then removed.
    void publish();

private:
    const crashreports::UniqueFd& folderFd(Folder folder) const;
    const crashreports::UniqueFd& previousFd(Folder folder) const;
    bool previousHolds(Folder folder, const std::string& name, std::string_view content) const;
    void openPrevious();
    void swapIntoPlace();

    std::filesystem::path outDir_;
    std::filesystem::path newDir_;
    std::string marker_;
    crashreports::UniqueFd top_;
    crashreports::UniqueFd groups_;
    crashreports::UniqueFd reports_;
    crashreports::UniqueFd previousTop_;
    crashreports::UniqueFd previousGroups_;
    crashreports::UniqueFd previousReports_;
    bool published_ = false;
};

}  // namespace triage
