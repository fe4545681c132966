#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

using Clock = std::chrono::steady_clock;

// A subscriber in this process, on libmosquitto's own network thread, so that
// each line's arrival is timed the moment it comes. Lines carry their number
// first; with a position property it must be where that number puts the line.
class LineCounter
{
public:
    struct Topic
    {
        std::vector<Clock::time_point> arrived; // by line number; epoch: not yet
        long distinct = 0;
        long repeats = 0;
        long faults = 0; // not the line its number names, or at the wrong position
    };

    ~LineCounter();
    // Subscribes to the filter, again after every reconnection; true once it holds.
    bool start(int port, const std::string &filter);
    // Subscriptions made so far; waits until there have been this many.
    int subscriptions();
    bool waitSubscribed(int count, int timeoutMs);
    Topic topic(const std::string &name);
    long distinct(const std::string &name);

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onSubscribe(mosquitto *, void *self, int, int, const int *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message,
                          const mosquitto_property *properties);

    mosquitto *m_mosq = nullptr;
    std::string m_filter;
    std::mutex m_mutex;
    std::map<std::string, Topic> m_topics;
    int m_subscriptions = 0;
};

// Line number n as the device sends it: 80 bytes with CR LF.
std::string benchLine(long n);
