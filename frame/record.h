// The per-channel session record, the channel table and the process-wide settings.
// Every piece of per-channel state lives in SessionRecord; protocol code keeps none of its own elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tev::platform {
struct TlsSession;
}

namespace tev {

constexpr int kMaxChannels = 128;
constexpr int kSlotsPerChannel = 10;
constexpr int kSlotCount = kMaxChannels * kSlotsPerChannel;

// Capacities in bytes, terminating NUL included.
constexpr size_t kBigBufferSize = 2050;       // workBuffer, commandBuffer, replyBuffer, textWindow
constexpr size_t kBoundarySize = 130;         // mimeBoundary, altBoundary
constexpr size_t kNameSize = 130;             // server, addresses, file and directory names (128 characters)
constexpr size_t kMaxNameChars = 128;
constexpr size_t kCredentialSize = 66;        // userName, pop3Password, password (64 characters)
constexpr size_t kMaxCredentialChars = 64;
constexpr size_t kMaxDirectoryChars = 4095;   // message and attachment directories, never cut
constexpr size_t kDirectorySize = kMaxDirectoryChars + 1;
constexpr size_t kMaxSerialPrefixChars = 12;  // "<serial>-": at most 11 digits and '-'
// Directory + '\' + file name (128) + NUL.
constexpr size_t kEmailPathSize = kMaxDirectoryChars + 1 + kMaxNameChars + 1;
constexpr size_t kMaxCopyNumberChars = 13;   // " (<n>)": a blank, at most 10 digits in parentheses
// Directory + '\' + up to three serial prefixes (the file's own and two that keep it off the message file) +
// file name (128) + the copy number of a name taken already in this fetch + NUL.
constexpr size_t kAttachmentPathSize =
    kMaxDirectoryChars + 1 + 3 * kMaxSerialPrefixChars + kMaxNameChars + kMaxCopyNumberChars + 1;
// True when a directory text fits its record field whole.
inline bool fitsDirectory(const char *directory) {
    size_t length = 0;
    while (length <= kMaxDirectoryChars && directory[length] != '\0') ++length;
    return length <= kMaxDirectoryChars;
}
constexpr size_t kSavedAttachmentsSize = 1026;
constexpr size_t kShortSize = 34;             // rawCommand, lastRecipient (32 characters)
constexpr size_t kMaxShortChars = 32;
constexpr size_t kAuthBufferSize = 132;
constexpr size_t kRingSize = 1024;  // the unit of a receive the readers see (and the trace shows): 1023 bytes
// The receive ring's storage: with no trace open, a receive into an empty ring takes up to this less one byte, so
// a long transfer needs few system calls; the readers still take at most kRingSize - 1 bytes at a time.
constexpr size_t kRingCapacity = 4096;  // with the send queue and file buffers, under 64 KiB more per channel
// Data-phase bytes waiting for the socket (engine/transport.cpp): large enough that a message goes out in few
// big writes (a TLS session cuts them into full records), small enough for many channels.
constexpr size_t kSendQueueSize = 32 * 1024;
// Bytes waiting to be written to one file a fetch creates (frame/filewrite.h).
constexpr size_t kFileWriteSize = 8 * 1024;
constexpr size_t kRemoteAddressSize = 28;     // a sockaddr_in6; a sockaddr_in fills the first 16 bytes
// SessionRecord::addressFamily.  A zeroed record holds an IPv4 address.
constexpr uint8_t kFamilyIPv4 = 0;
constexpr uint8_t kFamilyIPv6 = 1;
constexpr size_t kTlsReasonSize = 128;       // why the last certificate check failed
constexpr size_t kMaxOAuthTokenChars = 4096;  // an OAuth 2 access token is refused, never cut, when longer
constexpr size_t kOAuthTokenSize = kMaxOAuthTokenChars + 1;
constexpr size_t kMechanismListSize = 256;   // TEV_AUTH_MECHANISMS, blank-separated names
constexpr size_t kAuthOfferSize = 256;       // the mechanisms the server offered, blank-separated
constexpr size_t kScramBareSize = 272;       // "n=" escaped user (3 x 64) ",r=" nonce (32)
constexpr size_t kSaslNoteSize = 512;        // an OAuth error challenge (JSON) kept for the error text
constexpr size_t kCharsetSize = 65;          // a text part's charset name (64 characters); longer: not converted
constexpr size_t kTextCarrySize = 4096;      // decoded text of a part waiting for its line end
constexpr size_t kUsedNameCount = 1024;      // attachment file names created in one fetch, remembered by hash

// The longest pause after closing a socket that TEV_CLOSE_PAUSE takes (the original's fixed pause).
constexpr int32_t kMaxClosePauseMs = 500;

// Settings shared by every channel; other threads read them, so each is a relaxed atomic.
template <typename T>
class Setting {
public:
    constexpr explicit Setting(T initial) : value_(initial) {}
    T get() const { return value_.load(std::memory_order_relaxed); }
    void set(T v) { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};

struct Settings {
    Setting<int32_t> stepDelay{25};          // ms
    Setting<int32_t> responseTimeout{25000}; // ms
    Setting<int32_t> lineDelay{0};           // ms
    Setting<int32_t> connectTimeout{60000};  // ms
    Setting<int32_t> sendTimeout{25000};     // ms
    Setting<int32_t> readTimeout{25000};     // ms
    Setting<int32_t> pollSleep{100};         // ms
    Setting<int32_t> softLineLength{61};
    Setting<int32_t> maxLineLength{78};
    Setting<char> cleanupOnRelease{1};
    Setting<char> pass8Bit{0};
    Setting<char> noSaveNote{0};
    Setting<char> noToHeader{0};
    Setting<char> addressSeparator{','};
    Setting<char> attachmentSeparator{','};
    Setting<char> nameSeparator{'|'};
    Setting<char> earlyReply{0};             // 1 = a pause before a reply ends once the reply is readable
    Setting<int32_t> closePause{kMaxClosePauseMs}; // ms after a socket is closed, 0..500
};
extern Settings settings;

// Process-wide texts set by string parameters 54 and 55.
extern char customContentType[65];
extern char customTransferEncoding[129];
extern uint8_t customTransferEncodingLength;  // non-zero: set

// Writes to one open file, gathered (frame/filewrite.h).  `failed`: a write of this file has failed since it was
// opened, so nothing more reaches it and its close reports the failure.
struct FileWrites {
    int32_t used;                          // bytes waiting in `bytes`
    char failed;
    char bytes[kFileWriteSize];
};

// MIME boundary base "=====_TEV<tick>_=====", formatted at attach.
extern char boundaryBase[32];

// State numbers with a meaning of their own in the record: nextState kIdle, the channel is idle (the operation
// is done); thisState kNoState, no state is running; prevState kNoStateYet, none has run since attach.
constexpr int32_t kIdle = 0;
constexpr int32_t kNoState = -1;
constexpr int32_t kNoStateYet = -2;

struct SessionRecord {
    int32_t channel;
    char workBuffer[kBigBufferSize];       // trace lines are formatted here
    char commandBuffer[kBigBufferSize];    // line being sent; emptied at every driver call
    char replyBuffer[kBigBufferSize];      // reply being read (1024 gathered) or a raw chunk (2048)
    char textWindow[kBigBufferSize];       // read-ahead window over the message text
    char mimeBoundary[kBoundarySize];
    char altBoundary[kBoundarySize];
    char lastReply[kNameSize];             // last reply line, at most 128 characters
    char serverName[kNameSize];
    char fromAddress[kNameSize];
    char replyTo[kNameSize];
    char userName[kCredentialSize];
    char pop3Password[kCredentialSize];
    char emailFileName[kNameSize];
    char emailDirectory[kDirectorySize];
    char attachmentDirectory[kDirectorySize];
    char attachmentFileName[kNameSize];
    char emailPath[kEmailPathSize];
    char attachmentPath[kAttachmentPathSize];
    char savedAttachments[kSavedAttachmentsSize];
    char rawCommand[kShortSize];
    char lastRecipient[kShortSize];
    char password[kCredentialSize];        // SMTP AUTH password
    char authBuffer[kAuthBufferSize];
    char *addressCursor;                   // rest of the RCPT TO / VRFY list
    char *toList;                          // slot 1
    char *ccList;                          // slot 2, null when none
    char *bccList;                         // slot 3, null when none
    char *subject;                         // slot 4, null when none
    char *extraHeaders;                    // slot 7, null when none
    char *messageText;                     // slot 5, or a static empty text; read cursor
    char *attachmentList;                  // slot 6, null when none
    char *nextAttachment;
    char *separatorPos;                    // where a separator was replaced by NUL
    char *alternateText;                   // slot 9, null when none
    uint32_t serverAddress;                // host byte order, when addressFamily is kFamilyIPv4
    uint8_t addressFamily;                 // kFamilyIPv4 or kFamilyIPv6: which address state 104 found
    uint8_t serverAddress6[16];            // network order, when addressFamily is kFamilyIPv6
    uint32_t serverScope6;                 // its scope (interface index of a link-local address), 0 = none
    int32_t socket;                        // 0 = none
    uint32_t waitUntil;                    // tick; 0 = no wait
    uint32_t deadline;                     // tick; 0 = none
    int32_t stepCount;
    int32_t textBytesRead;
    int32_t attachmentBytesRead;
    int32_t textBytesSent;
    int32_t attachmentBytesSent;
    int32_t textInMemory;
    int32_t ccDone;
    int32_t bccDone;
    uint16_t remotePort;
    uint16_t smtpPort;
    uint16_t pop3Port;
    int32_t replyCode;
    int32_t fileHandle;                    // file read while sending / attachment written while decoding; 0 = none
    int32_t prevState;
    int32_t thisState;
    int32_t nextState;
    int32_t afterConnectState;
    int32_t lastSocketError;
    int32_t logFile;                       // trace log handle; 0 = none
    int32_t messageCount;
    char sessionKind;                      // 'S', 'P' or 0
    int32_t messageNumber;
    int32_t messageSize;
    int32_t topLines;
    int32_t emailFile;                     // fetched-message file; 0 = none
    char *userBuffer;                      // TOP / UIDL destination: the caller's or slot 8
    int32_t userBufferSize;
    int32_t userBufferUsed;
    int32_t decodeState;
    int32_t mimeBoundaryLength;
    int32_t boundaryCount;
    int32_t partEncoding;                  // 2 base64, 3 quoted-printable
    int32_t altBoundaryLength;
    int32_t verifyResult;
    int32_t attachmentsSaved;
    int32_t attachmentSerial;
    char *currentAddress;
    char waitWritable;
    char inlinePart;
    int32_t autoCall;
    int32_t numberAttachmentFiles;
    int32_t bodyMode;                      // 0..15
    char byteAfterRead;
    char pendingChar;
    char blankLineSeen;
    char imageTypes;
    int32_t textWindowPos;
    int32_t textWindowFill;
    int32_t textEnded;
    int32_t saveUnnamedParts;
    int32_t nonBlockingConnect;
    int32_t inlineImageCount;
    char inlineAttachment;
    char useEhlo;
    char useApop;
    char skipBlankLine;
    // POP3 multi-line reads (RETR, TOP, UIDL list): 0 when the next read starts a line; 1 when the last read
    // ended inside a line longer than the reader's room (no LF yet), so the next read is the rest of that line;
    // 2 the same inside the RETR status line, whose rest is dropped too.  During decodeMimeLine it still tells
    // whether the line being decoded continues an earlier part.
    char midLine;
    char receiveBuffer[kRingSize];
    int32_t ringRead;                      // 0..kRingCapacity - 1
    int32_t ringWrite;                     // 0..kRingCapacity - 1
    char ringBuffer[kRingCapacity];        // holds at most kRingCapacity - 1 bytes
    // Data-phase bytes already traced ("S: ") but not yet handed to the socket; emptied by every send that is
    // not message data (commands, the end-of-data line), before a reply is read, and when the socket closes.
    char sendQueue[kSendQueueSize];
    int32_t sendQueueUsed;
    // Fetches: what waits to be written to emailFile and to the attachment file being decoded (fileHandle).
    FileWrites messageWrites;
    FileWrites attachmentWrites;
    // TLS: the session over `socket` (null when none), 1 in tlsActive once its handshake is done; torn down with
    // the socket.  tlsMode and tlsVerify are integer parameters 100 and 101, tlsCaFile string parameter 100.
    platform::TlsSession *tlsSession;
    char tlsActive;
    int32_t tlsMode;                       // 0 none, 1 STARTTLS required, 2 implicit, 3 STARTTLS if offered
    int32_t tlsVerify;                     // 1 = certificate chain and host name verified
    char tlsCaFile[kDirectorySize];        // empty = the system store
    char tlsReason[kTlsReasonSize];        // appended to the text of -82
    // Authentication beyond CRAM-MD5, LOGIN, PLAIN, USER/PASS and APOP (engine/sasl.h).  Integer parameter 102,
    // string parameters 101 and 102; the rest is the state of the exchange running now.
    char requireAuth;                      // 1 = no usable mechanism fails the connect with -83
    char oauthToken[kOAuthTokenSize];      // empty = none
    char authMechanisms[kMechanismListSize]; // preference list, upper case, blank-separated; empty = default
    char authOffered[kAuthOfferSize];      // what the server offered (EHLO AUTH, CAPA SASL), appended to -83
    char capaUser;                         // POP3: USER/PASS may be used (CAPA names it, or has no list)
    int32_t saslMechanism;                 // SaslMechanism of the exchange running (0 none)
    int32_t saslStep;                      // challenges answered so far
    int32_t authenticatedWith;             // SaslMechanism the session logged in with (0 none): debug code 101
    char scramClientFirstBare[kScramBareSize];
    unsigned char scramServerSignature[32];
    char scramVerified;                    // 1 once the server's signature matched
    char saslDeferred;                     // POP3: the initial response waits for the first continuation
    char saslNote[kSaslNoteSize];          // decoded error challenge of XOAUTH2 / OAUTHBEARER
    // UTF-8 mail (integer parameter 103): encoded words and charset=utf-8 parts when sending, charsets converted
    // and encoded words decoded when fetching.  smtpUtf8Offered: the last EHLO reply named SMTPUTF8.
    // textTransfer: how the message text goes out (kTextAsMode ... in smtp/textreader.h).
    char utf8;
    char smtpUtf8Offered;
    char textTransfer;
    // Fetching UTF-8 mail: the current part's text is converted from partCharset (empty: taken as it is) when
    // textPart is set; decoded bytes wait in textCarry until their line ends, so a character or a charset's
    // shift sequence is never cut.  partNamed: 0 no file name yet, 1 a name= of Content-Type, 2 a filename= of
    // Content-Disposition (which wins).  usedNames: hashes of the attachment files created in this fetch, so a
    // name given twice gets a copy number instead of overwriting the first file.
    char textPart;
    char partNamed;
    char partCharset[kCharsetSize];
    int32_t textCarryLength;               // 0..kTextCarrySize
    char textCarry[kTextCarrySize];
    int32_t usedNameCount;                 // 0..kUsedNameCount
    uint64_t usedNames[kUsedNameCount];
    // Integer parameter 110: the message text (memory or "@file") is a complete message that goes out as it is,
    // after the envelope, with no header lines, MIME parts or attachments of the library (smtp/prepared.cpp).
    int32_t preparedMessage;
    // Waiting without spinning (frame/wait_need.h).  foundNothing is set during a step by a readiness look that
    // found nothing to read (or a connect or handshake that waits for the socket) and cleared by every receive;
    // after the step the driver keeps it in waitNeed, valid while nextState is still waitNeedState.
    // earlyPauseUntil is the waitUntil tick of a pause that TEV_EARLY_REPLY ends as soon as the socket is ready
    // for earlyPauseEvents (readable: the pause before a reply; writable: the one before a connect is checked);
    // quietIdle marks the pause after a close, whose idle step writes no state line.
    uint8_t foundNothing;                  // kWaitNone, kWaitReadable or kWaitWritable
    uint8_t waitNeed;
    int32_t waitNeedState;
    uint32_t earlyPauseUntil;              // tick; 0 = none
    uint8_t earlyPauseEvents;
    char quietIdle;
};

struct ChannelEntry {
    SessionRecord *record;
    int32_t socket;
    // The peer's socket address as the Winsock structures hold it: IPv4 (sockaddr_in) family 2, port and address
    // in network order, then zero bytes; IPv6 (sockaddr_in6) family 23, port, flow information 0, the 16-byte
    // address, the scope.
    uint8_t remoteAddress[kRemoteAddressSize];
};

extern ChannelEntry channelTable[kMaxChannels];
extern uint16_t channelCount;  // 0 = not attached

// The check that opens every exported function taking a channel: 0 and `record` set, or -71 / -73.
int32_t checkChannel(int32_t channel, SessionRecord *&record);

// Static empty text that text references may point to.
extern char emptyText[1];

}  // namespace tev
