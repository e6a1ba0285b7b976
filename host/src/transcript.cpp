#include <kav/host/transcript.h>

namespace Vemi::Host {

bool FromHost(EntryKind kind) noexcept { return kind <= EntryKind::Event; }

const char* EntryKindName(EntryKind kind) noexcept {
    switch (kind) {
        case EntryKind::Load: return "load";
        case EntryKind::Initialize: return "initialize";
        case EntryKind::Shutdown: return "shutdown";
        case EntryKind::Request: return "request";
        case EntryKind::Event: return "event";
        case EntryKind::SendRequest: return "request";
        case EntryKind::SendEvent: return "event";
        case EntryKind::Subscribe: return "subscribe";
        case EntryKind::Unsubscribe: return "unsubscribe";
        case EntryKind::WaitEnter: return "wait-enter";
        case EntryKind::WaitYield: return "wait-yield";
        case EntryKind::WaitLeave: return "wait-leave";
        case EntryKind::Log: return "log";
    }
    return "?";
}

std::string MethodName(uint32_t method, std::string_view custom) {
    static constexpr const char* kNames[] = {"ANY", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"};
    if (method == API_METHOD_CUSTOM) return custom.empty() ? "CUSTOM" : std::string(custom);
    return method < std::size(kNames) ? kNames[method] : "ANY";
}

const char* LogLevelName(int64_t level) noexcept {
    static constexpr const char* kNames[] = {"Okay", "Warn", "Error", "Always"};
    return level >= 0 && level < 4 ? kNames[level] : "Level?";
}

uint64_t Transcript::Append(Entry entry) {
    if (!Records(entry.kind)) return 0;
    std::lock_guard lock(mutex_);
    entry.sequence = first_ + entries_.size();
    entries_.push_back(std::move(entry));
    return entries_.back().sequence;
}

void Transcript::Ignore(EntryKind kind, bool ignored) noexcept {
    if (ignored) {
        ignored_.fetch_or(Bit(kind), std::memory_order_relaxed);
    } else {
        ignored_.fetch_and(~Bit(kind), std::memory_order_relaxed);
    }
}

void Transcript::Complete(uint64_t sequence, Entry entry) {
    std::lock_guard lock(mutex_);
    if (sequence < first_ || sequence - first_ >= entries_.size()) return;
    entry.sequence = sequence;
    entries_[sequence - first_] = std::move(entry);
}

void Transcript::CompleteReply(uint64_t sequence, ReplyData reply) {
    std::lock_guard lock(mutex_);
    if (sequence < first_ || sequence - first_ >= entries_.size()) return;
    entries_[sequence - first_].reply = std::move(reply);
}

void Transcript::Clear() {
    std::lock_guard lock(mutex_);
    first_ += entries_.size();
    entries_.clear();
}

void Transcript::TakeInto(std::vector<Entry>& taken) {
    taken.clear();
    std::lock_guard lock(mutex_);
    first_ += entries_.size();
    taken.swap(entries_);
}

std::vector<Entry> Transcript::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<Entry> Transcript::OfKind(EntryKind kind) const {
    std::lock_guard lock(mutex_);
    std::vector<Entry> out;
    for (const Entry& entry : entries_) {
        if (entry.kind == kind) out.push_back(entry);
    }
    return out;
}

size_t Transcript::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void Transcript::Print(std::ostream& out) const { PrintTranscript(out, Entries()); }

namespace {

void AppendRequest(std::string& line, const RequestData& request, bool headers) {
    line += ' ' + MethodName(request.method, request.customMethod) + ' ' + request.path;
    if (!request.arguments.empty()) {
        line += " [";
        const char* separator = "";
        for (const Argument& argument : request.arguments) {
            line += separator;
            if (argument.name) line += *argument.name + '=';
            line += argument.value.Canonical();
            separator = ", ";
        }
        line += ']';
    }
    if (headers) {
        for (const Header& header : request.headers) line += ' ' + header.name + ": " + QuoteText(header.value);
    }
    if (request.body) line += " body " + request.contentType + ' ' + QuoteText(*request.body);
}

void AppendReply(std::string& line, const ReplyData& reply) {
    line += " => " + std::to_string(reply.status);
    if (reply.hasError || !reply.error.empty()) line += " error " + QuoteText(reply.error);
    if (!reply.contentType.empty()) line += ' ' + reply.contentType;
    if (reply.body.kind() != HOST_VALUE_NONE) line += ' ' + reply.body.Canonical();
    if (reply.streamed) {
        line += " stream " + QuoteText(reply.streamBody);
        if (reply.streamFailed) line += " (failed)";
    }
}

}  // namespace

std::string FormatEntry(const Entry& entry) { return FormatEntry(entry, EntryFormat{}); }

std::string FormatEntry(const Entry& entry, const EntryFormat& format) {
    std::string line = '#' + std::to_string(entry.sequence) + (FromHost(entry.kind) ? " -> " : " <- ");
    line += EntryKindName(entry.kind);
    switch (entry.kind) {
        case EntryKind::Load:
            line += ' ' + QuoteText(entry.text) + (entry.ok ? " ok" : " failed: " + entry.error);
            break;
        case EntryKind::Initialize:
            line += " plugin " + std::to_string(entry.pluginId) + (entry.ok ? " => 1" : " => 0");
            if (!entry.error.empty()) line += " (" + entry.error + ')';
            break;
        case EntryKind::Shutdown:
            break;
        case EntryKind::Request:
        case EntryKind::SendRequest:
            AppendRequest(line, entry.request, format.headers);
            if (entry.kind == EntryKind::Request && format.reply) {
                line += format.reply(entry.reply);
            } else {
                AppendReply(line, entry.reply);
            }
            if (entry.kind == EntryKind::Request && entry.reply.delivered && !entry.reply.released) {
                line += " (not released)";
            }
            break;
        case EntryKind::Event:
            line += ' ' + entry.text + ' ' + entry.payload.Canonical();
            if (!entry.ok) line += " (no subscriber)";
            break;
        case EntryKind::SendEvent:
            line += ' ' + entry.text + " caller " + std::to_string(entry.number) + ' ' + entry.payload.Canonical();
            break;
        case EntryKind::Subscribe:
            line += ' ' + entry.text + " plugin " + std::to_string(entry.pluginId) + " flag " +
                    std::to_string(entry.number) + (entry.ok ? " => 1" : " => 0");
            break;
        case EntryKind::Unsubscribe:
            line += ' ' + entry.text + " plugin " + std::to_string(entry.pluginId);
            if (!entry.ok) line += " (not subscribed)";
            break;
        case EntryKind::WaitEnter:
            line += ' ' + QuoteText(entry.text) + ' ' + std::to_string(entry.number);
            break;
        case EntryKind::WaitYield:
        case EntryKind::WaitLeave:
            break;
        case EntryKind::Log:
            line += ' ' + std::string(LogLevelName(entry.number)) + ' ' + QuoteText(entry.text);
            break;
    }
    return line;
}

void PrintTranscript(std::ostream& out, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) out << FormatEntry(entry) << '\n';
}

}  // namespace Vemi::Host
