// Attachment files of the MIME decoder: one file per saved part, created inside the attachment directory under
// the part's own (last-component-only) name, closed with a note in the message file, and listed by name in
// savedAttachments for TEV_DEBUG_SAVED_FILES.
#include <cstdint>
#include <cstring>
#include <string>

#include "frame/filewrite.h"
#include "frame/record.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "pop3/decoder.h"
#include "pop3/mime_internal.h"

namespace tev {

namespace {

// Directory, '\', up to three "<serial>-" prefixes (11 digits and '-' at most each), file name, copy number,
// NUL: the path always fits, never cut.
static_assert(kAttachmentPathSize >=
                  kMaxDirectoryChars + 1 + 3 * kMaxSerialPrefixChars + kMaxNameChars + kMaxCopyNumberChars + 1,
              "attachmentPath too small");
constexpr uint32_t kMaxCopyNumber = 100000;
constexpr size_t kMaxSavedListChars = kSavedAttachmentsSize - 1;

// Counters wrap like the 32-bit counters they are, without signed overflow.
void addOne(int32_t &counter) { counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + 1u); }

bool isSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// The file name part of a composed path.
const char *lastComponent(const char *path) {
    const char *name = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    return name;
}

// Adds the saved file's name to savedAttachments; a name that would make the list too long is left out.
void listSavedName(SessionRecord &rec, const char *name) {
    char *list = rec.savedAttachments;
    const size_t used = boundedLength(list, sizeof rec.savedAttachments);
    const size_t nameLength = std::strlen(name);
    const size_t separatorLength = used > 0 ? 1 : 0;
    if (used + separatorLength + nameLength > kMaxSavedListChars) return;
    size_t pos = used;
    if (separatorLength) list[pos++] = settings.attachmentSeparator.get();
    std::memcpy(list + pos, name, nameLength);
    list[pos + nameLength] = '\0';
}

// Puts "<serial>-" before the file name that starts at nameStart in attachmentPath, as numbered names are made.
void numberFileName(SessionRecord &rec, size_t nameStart) {
    char name[kAttachmentPathSize];
    copyText(name, rec.attachmentPath + nameStart);
    formatText(rec.attachmentPath + nameStart, sizeof rec.attachmentPath - nameStart, "%lld-%s",
               static_cast<long long>(rec.attachmentSerial) + 1, name);
}

// An attachment never overwrites the message file of its own fetch: a path naming that file is numbered (twice
// at most: a numbered name can be the message file too).  False when it still names the message file.
bool keepOffMessageFile(SessionRecord &rec, size_t nameStart) {
    for (int numbered = 0; numbered < 2; ++numbered) {
        if (!platform::isSameFile(rec.emailFile, rec.attachmentPath)) return true;
        numberFileName(rec, nameStart);
    }
    return !platform::isSameFile(rec.emailFile, rec.attachmentPath);
}

// FNV-1a: the attachment names of one fetch are told apart by these 64 bits.
uint64_t nameHash(const char *name) {
    uint64_t hash = 14695981039346656037ull;
    for (const char *p = name; *p != '\0'; ++p) {
        hash ^= static_cast<unsigned char>(*p);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool isUsedName(const SessionRecord &rec, const char *name) {
    const uint64_t hash = nameHash(name);
    const int32_t count = rec.usedNameCount < static_cast<int32_t>(kUsedNameCount) ? rec.usedNameCount
                                                                                   : static_cast<int32_t>(kUsedNameCount);
    for (int32_t i = 0; i < count; ++i) {
        if (rec.usedNames[i] == hash) return true;
    }
    return false;
}

// Beyond kUsedNameCount files in one fetch, later names are no longer remembered (and may overwrite).
void rememberName(SessionRecord &rec, const char *name) {
    if (rec.usedNameCount < 0) rec.usedNameCount = 0;
    if (static_cast<size_t>(rec.usedNameCount) >= kUsedNameCount) return;
    rec.usedNames[rec.usedNameCount++] = nameHash(name);
}

// UTF-8 mail: a file name already created in this fetch becomes "name (2).ext", "name (3).ext", ... (the copy
// number before the extension), so a second part of the same name never overwrites the first.
void numberTakenName(SessionRecord &rec, size_t nameStart) {
    char name[kAttachmentPathSize];
    copyText(name, rec.attachmentPath + nameStart);
    if (!isUsedName(rec, name)) return;
    const char *dot = std::strrchr(name, '.');
    const size_t stemLength = dot && dot != name ? static_cast<size_t>(dot - name) : std::strlen(name);
    const char *extension = name + stemLength;
    const size_t room = sizeof rec.attachmentPath - nameStart;
    for (uint32_t copy = 2; copy <= kMaxCopyNumber; ++copy) {
        formatText(rec.attachmentPath + nameStart, room, "%.*s (%u)%s", static_cast<int>(stemLength), name,
                   static_cast<unsigned>(copy), extension);
        if (!isUsedName(rec, rec.attachmentPath + nameStart)) return;
    }
}

}  // namespace

namespace mime {

void setReceivedName(SessionRecord &rec, const std::string &received) {
    std::string name = received;
    for (char &c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '_';
    }
    const size_t separator = name.find_last_of("\\/:");
    if (separator != std::string::npos) name.erase(0, separator + 1);
    size_t keep = name.size() < kMaxNameChars ? name.size() : kMaxNameChars;
    // Never end inside a UTF-8 sequence: back up over continuation bytes to the start of the cut character.
    if (keep < name.size()) {
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80) --keep;
    }
    name.resize(keep);
    copyText(rec.attachmentFileName, name.c_str(), kMaxNameChars);
    keepFileNameOnly(rec.attachmentFileName);
}

void keepFileNameOnly(char *name) {
    const char *start = name;
    for (const char *p = name; *p != '\0'; ++p) {
        if (isSeparator(*p)) start = p + 1;
    }
    if (start != name) std::memmove(name, start, std::strlen(start) + 1);
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        std::memcpy(name, "noname", sizeof "noname");
    }
}

void openAttachment(SessionRecord &rec) {
    keepFileNameOnly(rec.attachmentFileName);
    logFormat(rec, "[AttachDir = '%s']\r\n", rec.attachmentDirectory);
    logFormat(rec, "[Filename = '%s']\r\n", rec.attachmentFileName);

    char *path = rec.attachmentPath;
    const size_t dirLength = copyText(rec.attachmentPath, rec.attachmentDirectory, kMaxDirectoryChars);
    if (dirLength == 0 || path[dirLength - 1] != '\\') appendText(rec.attachmentPath, "\\");
    const size_t used = std::strlen(path);
    if (rec.numberAttachmentFiles) {
        formatText(path + used, sizeof rec.attachmentPath - used, "%lld-%.128s",
                   static_cast<long long>(rec.attachmentSerial) + 1, rec.attachmentFileName);
    } else {
        copyText(path + used, sizeof rec.attachmentPath - used, rec.attachmentFileName, kMaxNameChars);
    }

    if (rec.utf8) numberTakenName(rec, used);
    bool offMessageFile = keepOffMessageFile(rec, used);
    if (rec.utf8 && offMessageFile) {
        // The number that keeps it off the message file may give a name taken already.
        numberTakenName(rec, used);
        offMessageFile = !platform::isSameFile(rec.emailFile, rec.attachmentPath);
    }

    dropAttachment(rec);
    logFormat(rec, "[Creating '%s']\r\n", path);
    const int32_t handle = offMessageFile ? platform::createFile(path, false, true) : -1;
    if (handle <= 0) {
        logFormat(rec, "[Cannot open '%s']\r\n", path);
        rec.fileHandle = 0;
        return;
    }
    rec.fileHandle = handle;
    if (rec.utf8) rememberName(rec, lastComponent(path));
    startWrites(rec.attachmentWrites);
}

void dropAttachment(SessionRecord &rec) { closeGathered(rec.fileHandle, rec.attachmentWrites); }

}  // namespace mime

int32_t closeAttachment(SessionRecord &rec) {
    if (rec.fileHandle == 0) return 0;
    // The last bytes of the part reach the file only now: a file they cannot be written to is not saved.
    if (closeGathered(rec.fileHandle, rec.attachmentWrites) < 0) {
        logFormat(rec, "[Cannot write '%s']\r\n", rec.attachmentPath);
        return 0;
    }

    char note[kAttachmentPathSize + 32];
    const int length = formatText(note, sizeof note, "[Attachment saved to %c%s%c]\r\n", '"', rec.attachmentPath, '"');
    static_assert(sizeof note > kAttachmentPathSize + sizeof "[Attachment saved to \"\"]\r\n", "note must fit");
    if (!settings.noSaveNote.get() && rec.emailFile != 0) writeGathered(rec.emailFile, rec.messageWrites, note, length);
    logText(rec, note);

    listSavedName(rec, lastComponent(rec.attachmentPath));
    addOne(rec.attachmentsSaved);
    addOne(rec.attachmentSerial);
    return 1;
}

}  // namespace tev
