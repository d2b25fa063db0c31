#include "core/Retention.h"

#include "core/FileNaming.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <tuple>

namespace norvale {

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::array<const char*, 2> kRecordingExtensions{".wmv", ".mkv"};
constexpr std::array<const char*, 1> kSnapshotExtensions{".bmp"};

bool allDigits(const std::string& s, std::size_t from, std::size_t count) {
    if (from + count > s.size())
        return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

std::int64_t number(const std::string& s, std::size_t from, std::size_t count) {
    std::int64_t n = 0;
    for (std::size_t i = from; i < from + count; ++i)
        n = n * 10 + (s[i] - '0');
    return n;
}

// "YYYYMMDD-HHMMSS" with every field in its range, as YYYYMMDDHHMMSS.
std::optional<std::int64_t> parseStamp(const std::string& s) {
    if (s.size() != 15 || s[8] != '-' || !allDigits(s, 0, 8) || !allDigits(s, 9, 6))
        return std::nullopt;
    const std::int64_t year = number(s, 0, 4), month = number(s, 4, 2), day = number(s, 6, 2);
    const std::int64_t hour = number(s, 9, 2), minute = number(s, 11, 2), sec = number(s, 13, 2);
    if (year < 1000 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        sec > 60)
        return std::nullopt;
    return number(s, 0, 8) * 1000000 + number(s, 9, 6);
}

// A collision suffix: "-" and a whole number from 2 up, without leading zeros.
bool isCollisionSuffix(const std::string& s) {
    if (s.size() < 2 || s.size() > 10 || s[0] != '-' || !allDigits(s, 1, s.size() - 1))
        return false;
    return s[1] != '0' && (s.size() > 2 || s[1] >= '2');
}

std::int64_t stampOf(const std::tm& t) {
    return (static_cast<std::int64_t>(t.tm_year) + 1900) * 10000000000LL +
           static_cast<std::int64_t>(t.tm_mon + 1) * 100000000LL +
           static_cast<std::int64_t>(t.tm_mday) * 1000000LL + t.tm_hour * 10000LL +
           t.tm_min * 100LL + t.tm_sec;
}

// The local calendar time `days` days before `local`, as a stamp. Calendar arithmetic only: the
// broken-down time is moved as if it were UTC, so the time zone plays no part.
std::int64_t stampDaysBefore(std::tm local, int days) {
    local.tm_isdst = 0;
    const std::time_t t = timegm(&local) - static_cast<std::time_t>(days) * 86400;
    std::tm earlier{};
    gmtime_r(&t, &earlier);
    return stampOf(earlier);
}

struct Candidate {
    const RetentionFile* file;
    std::int64_t stamp;
};

} // namespace

std::optional<std::int64_t> timestampOfName(const std::string& fileName,
                                            const std::string& cameraName,
                                            const std::string& extension) {
    const std::string prefix = cameraNameInFiles(cameraName) + '-';
    if (fileName.size() < prefix.size() + 15 + extension.size() ||
        fileName.compare(0, prefix.size(), prefix) != 0 ||
        fileName.compare(fileName.size() - extension.size(), extension.size(), extension) != 0)
        return std::nullopt;
    const auto stamp = parseStamp(fileName.substr(prefix.size(), 15));
    if (!stamp)
        return std::nullopt;
    const std::size_t restFrom = prefix.size() + 15;
    const std::string rest =
        fileName.substr(restFrom, fileName.size() - extension.size() - restFrom);
    if (!rest.empty() && !isCollisionSuffix(rest))
        return std::nullopt;
    return stamp;
}

std::vector<RetentionChoice> chooseFilesToDelete(const RetentionInput& in) {
    const std::set<std::string> writing(in.beingWritten.begin(), in.beingWritten.end());

    // The cameras whose files each folder may hold, with the kinds it holds for each.
    struct Owner {
        const RetentionCamera* camera;
        bool recordings;
        bool snapshots;
    };
    std::map<std::string, std::vector<Owner>> owners;
    for (const auto& cam : in.cameras) {
        const std::string rec = folderWithSeparator(cam.recordingFolder);
        const std::string snap = folderWithSeparator(cam.snapshotFolder);
        owners[rec].push_back({&cam, true, rec == snap});
        if (snap != rec)
            owners[snap].push_back({&cam, false, true});
    }

    auto stampOfFile = [&](const RetentionFile& f) -> std::optional<std::int64_t> {
        const auto it = owners.find(f.folder);
        if (it == owners.end())
            return std::nullopt;
        for (const Owner& o : it->second) {
            if (o.recordings)
                for (const char* ext : kRecordingExtensions)
                    if (auto s = timestampOfName(f.name, o.camera->name, ext))
                        return s;
            if (o.snapshots)
                for (const char* ext : kSnapshotExtensions)
                    if (auto s = timestampOfName(f.name, o.camera->name, ext))
                        return s;
        }
        return std::nullopt;
    };

    std::vector<Candidate> candidates;
    for (const auto& f : in.files) {
        if (!f.regular || f.mtime >= in.protectFrom || writing.count(f.folder + f.name))
            continue;
        if (const auto stamp = stampOfFile(f))
            candidates.push_back({&f, *stamp});
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.stamp, a.file->mtime, a.file->folder, a.file->name) <
               std::tie(b.stamp, b.file->mtime, b.file->folder, b.file->name);
    });

    std::vector<std::optional<RetentionReason>> chosen(candidates.size());
    std::map<std::uint64_t, std::uint64_t> freedOnDisk;
    auto take = [&](std::size_t i, RetentionReason why) {
        chosen[i] = why;
        freedOnDisk[candidates[i].file->disk] += candidates[i].file->bytes;
    };

    if (in.policy.keepDays > 0) {
        const std::int64_t cutStamp = stampDaysBefore(in.localNow, in.policy.keepDays);
        const std::int64_t cutTime = in.now - static_cast<std::int64_t>(in.policy.keepDays) * 86400;
        for (std::size_t i = 0; i < candidates.size(); ++i)
            if (candidates[i].stamp < cutStamp && candidates[i].file->mtime < cutTime)
                take(i, RetentionReason::Age);
    }

    if (in.policy.keepFreeMB > 0) {
        const auto wanted =
            static_cast<std::uint64_t>(in.policy.keepFreeMB) * static_cast<std::uint64_t>(kMiB);
        for (const auto& disk : in.disks) {
            std::uint64_t available = disk.freeBytes + freedOnDisk[disk.id];
            for (std::size_t i = 0; i < candidates.size() && available < wanted; ++i) {
                const RetentionFile& f = *candidates[i].file;
                // A file whose removal gives nothing back (another name holds its data) stays.
                if (chosen[i] || f.disk != disk.id || f.bytes == 0)
                    continue;
                take(i, RetentionReason::Space);
                available += f.bytes;
            }
        }
    }

    std::vector<RetentionChoice> result;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (chosen[i])
            result.push_back({*candidates[i].file, *chosen[i]});
    return result;
}

std::uint64_t spaceToRecordAgain(std::int64_t keepFreeMB, std::uint64_t totalBytes) {
    const std::uint64_t wanted = static_cast<std::uint64_t>(keepFreeMB > 0 ? keepFreeMB : 64) *
                                 static_cast<std::uint64_t>(kMiB);
    return totalBytes > 0 ? std::min(wanted, totalBytes / 2) : wanted;
}

} // namespace norvale
