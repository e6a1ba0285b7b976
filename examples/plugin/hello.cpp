// kav-hello: greets by name. GET answers the last greeting, a record; POST greets the
// name in the path in the mood the body gives, logs a line and sends an event.
#include <cstdint>
#include <mutex>
#include <string>

#include <kav/logging/log.h>
#include <kav/runtime/plugin_entry.h>

namespace Hello {

// An enumeration crosses the boundary by its enumerators' names.
enum class Mood : int32_t { Calm = 0, Cheerful = 1, Grumpy = 2 };

void Describe(Vemi::Binding::Enumeration<Mood>& e) {
    e.Name("Mood").Value("Calm", Mood::Calm).Value("Cheerful", Mood::Cheerful).Value("Grumpy", Mood::Grumpy);
}

// A record crosses it as a structure of its fields.
struct Greeting {
    std::string name;
    Mood mood = Mood::Calm;
    uint32_t count = 0;
};

void Describe(Vemi::Binding::Record<Greeting>& r) {
    r.Name("Greeting")
        .Description("The last greeting, and how many there were")
        .Field("name", &Greeting::name)
        .Field("mood", &Greeting::mood)
        .Field("count", &Greeting::count);
}

}  // namespace Hello

KAV_STATIC_TYPE_NAME(Hello::Mood, "enum");
KAV_STATIC_TYPE_NAME(Hello::Greeting, "struct");

namespace Hello {

inline constexpr const char* kShortName = "kav-hello";
inline constexpr const char* kGreetedEvent = "OnKavHelloGreeted";

class HelloRuntime final : public Vemi::PluginRuntime {
public:
    // Called once while the host loads the plugin: everything the API description
    // lists is registered here.
    void OnLoad() override {
        using Vemi::Api::ArgumentLocation;
        using Vemi::Api::HttpMethod;
        Vemi::Binding::RegisterType<Greeting>(Registry(), ApiNamePrefix());
        DeclareEvent<Greeting>(kGreetedEvent, "Sent after each greeting");
        BindEndpoint(HttpMethod::Get, "/kav-hello/v1/greeting", *this, &HelloRuntime::LastGreeting, {});
        Vemi::Api::Endpoint* greet =
            BindEndpoint(HttpMethod::Post, "/kav-hello/v1/greet/{name}", *this, &HelloRuntime::Greet, {"name", "mood"});
        if (greet != nullptr) greet->DeclareLocation(1, ArgumentLocation::Body);
    }

    // GET /kav-hello/v1/greeting
    Greeting LastGreeting() {
        std::lock_guard lock(mutex_);
        return last_;
    }

    // POST /kav-hello/v1/greet/{name} with the mood as a JSON body: "Cheerful"
    Greeting Greet(const std::string& name, Mood mood) {
        Greeting greeting;
        {
            // Requests arrive on any of the host's threads.
            std::lock_guard lock(mutex_);
            last_ = Greeting{name, mood, last_.count + 1};
            greeting = last_;
        }
        Vemi::Log(Vemi::kLogAlways, Vemi::kCategoryDBG, "Hello, %s", name.c_str());
        // Sent to the host inside this call, outside the lock.
        (void)EmitEvent(kGreetedEvent, greeting, 0);
        return greeting;
    }

private:
    std::mutex mutex_;
    Greeting last_;
};

}  // namespace Hello

// The library's one export, load_kav_hello.
KAV_PLUGIN_ENTRY(load_kav_hello, Hello::kShortName, Hello::HelloRuntime);
