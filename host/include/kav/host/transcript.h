// The ordered record of every call between the replacement host and the plugin, in both
// directions, and its human-readable printing.
#pragma once

#include <kav/host/host_value.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace Vemi::Host {

struct Header {
    std::string name;
    std::string value;
    bool operator==(const Header&) const = default;
};

// One argument of a request; no name for a positional argument.
struct Argument {
    std::optional<std::string> name;
    OwnedValue value;
};

// A request in either direction, as owned copies.
struct RequestData {
    uint32_t method = API_METHOD_GET;  // API_METHOD_*
    std::string customMethod;          // sent when method is API_METHOD_CUSTOM
    std::string path;                  // may carry a query after '?'
    std::vector<Argument> arguments;
    std::vector<Header> headers;
    std::string contentType;
    std::optional<std::string> body;   // bytes; none: the request has no body
    uint32_t requestContext = 0;
};

// A reply in either direction, as owned copies.
struct ReplyData {
    bool delivered = false;     // a host->plugin request reached a function of the plugin
    std::string function;       // the name of that function
    uint32_t status = 0;
    bool hasError = false;      // the reply's error flag
    std::string error;          // the reply's error text ("" when null)
    uint8_t responseFlag = 0;
    uint32_t responseMode = 0;
    std::string contentType;
    std::vector<Header> headers;
    OwnedValue body;
    bool streamed = false;      // the reply carried a stream
    bool streamFailed = false;  // a read answered 0, or the stream stalled
    uint32_t streamReads = 0;
    std::string streamBody;     // the bytes the stream gave
    bool released = false;      // the plugin's reply: release was set and called once
    bool releaseZeroed = false; // ... and it left the whole record zero
};

enum class EntryKind : uint8_t {
    // host -> plugin
    Load,
    Initialize,
    Shutdown,
    Request,
    Event,
    // plugin -> host
    SendRequest,
    SendEvent,
    Subscribe,
    Unsubscribe,
    WaitEnter,
    WaitYield,
    WaitLeave,
    Log,
};

[[nodiscard]] bool FromHost(EntryKind kind) noexcept;  // host -> plugin
[[nodiscard]] const char* EntryKindName(EntryKind kind) noexcept;

// One call. Which fields are used depends on the kind:
//   Load         text: library path; ok; error; number: host version as major*10000+minor*100+patch
//   Initialize   pluginId; ok: the plugin's answer
//   Request      request; reply (the plugin's)
//   Event        text: key; payload; ok: a subscriber took it
//   SendRequest  request; reply (the host's)
//   SendEvent    text: name; payload; number: caller value
//   Subscribe    text: key; pluginId; number: flag; ok: the host's answer
//   Unsubscribe  text: key; pluginId; ok: a subscription was removed
//   WaitEnter    text: label; number: value
//   Log          text: message; number: level
struct Entry {
    uint64_t sequence = 0;  // 1 for the first entry of a host
    EntryKind kind = EntryKind::Log;
    RequestData request;
    ReplyData reply;
    std::string text;
    OwnedValue payload;
    int64_t number = 0;
    uint32_t pluginId = 0;
    bool ok = true;
    std::string error;
};

// Thread-safe, ordered by the time each call began: a call that causes others (a request
// whose function sends events) comes before them and is completed in place when it ends.
class Transcript {
public:
    // Appends and answers the entry's sequence number; 0 when its kind is ignored.
    uint64_t Append(Entry entry);
    // Entries of kind are dropped from now on (or kept again): a reader that never shows
    // them need not pay for recording them.
    void Ignore(EntryKind kind, bool ignored = true) noexcept;
    [[nodiscard]] bool Records(EntryKind kind) const noexcept {
        return (ignored_.load(std::memory_order_relaxed) & Bit(kind)) == 0;
    }
    // Replaces the entry with that sequence number (keeping the number); ignored when the
    // entry is gone (cleared).
    void Complete(uint64_t sequence, Entry entry);
    // Sets only the reply of the entry with that sequence number; ignored as Complete is.
    void CompleteReply(uint64_t sequence, ReplyData reply);
    void Clear();
    // The entries, into taken (emptied first), which leave the record as Clear() does; the
    // record keeps taken's room for what follows, so that a reader that takes often
    // allocates nothing once both have grown.
    void TakeInto(std::vector<Entry>& taken);

    [[nodiscard]] std::vector<Entry> Entries() const;
    [[nodiscard]] std::vector<Entry> OfKind(EntryKind kind) const;
    [[nodiscard]] size_t Size() const;

    [[nodiscard]] std::vector<Entry> Requests() const { return OfKind(EntryKind::SendRequest); }  // plugin -> host
    [[nodiscard]] std::vector<Entry> Events() const { return OfKind(EntryKind::SendEvent); }      // plugin -> host
    [[nodiscard]] std::vector<Entry> Logs() const { return OfKind(EntryKind::Log); }
    [[nodiscard]] std::vector<Entry> Replies() const { return OfKind(EntryKind::Request); }       // host -> plugin
    [[nodiscard]] std::vector<Entry> Deliveries() const { return OfKind(EntryKind::Event); }      // host -> plugin

    void Print(std::ostream& out) const;

private:
    static constexpr uint32_t Bit(EntryKind kind) noexcept { return uint32_t{1} << static_cast<unsigned>(kind); }

    std::atomic<uint32_t> ignored_{0};  // a bit per EntryKind
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    uint64_t first_ = 1;  // sequence number of entries_[0]
};

// "GET", "POST", ... ; the custom text for API_METHOD_CUSTOM ("CUSTOM" without one); "ANY"
// for 0 and for codes outside the table.
[[nodiscard]] std::string MethodName(uint32_t method, std::string_view custom = {});
[[nodiscard]] const char* LogLevelName(int64_t level) noexcept;  // Okay, Warn, Error, Always

// One line per entry, without a newline: "#<sequence> <arrow> <kind> <details>", the arrow
// "->" for host->plugin calls and "<-" for plugin->host calls. Values are canonical texts,
// free texts quoted. Examples:
//   #4 <- request GET /kav-gameflow/v1/session => 200 {"phase": string:"None"}
//   #7 -> event OnJsonApiEvent_kav-gameflow_v1_session {"uri": ...}
//   #9 <- log Always "text"
[[nodiscard]] std::string FormatEntry(const Entry& entry);

// How FormatEntry's lines may differ for a viewer of the host's local server.
struct EntryFormat {
    bool headers = true;  // the request's headers
    // The reply part (" => ...") of a request to the plugin; none: the record's own form.
    std::function<std::string(const ReplyData&)> reply;
};
[[nodiscard]] std::string FormatEntry(const Entry& entry, const EntryFormat& format);
void PrintTranscript(std::ostream& out, const std::vector<Entry>& entries);

}  // namespace Vemi::Host
