#include "linecounter.h"

#include <cstdio>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <thread>

std::string benchLine(long n)
{
    char line[96];
    std::snprintf(line, sizeof line,
                  "%09ld,2026-12-07T17:42:07,21.5,44.2,1013.25,sensor-%02ld,OK,%-17s\r\n", n,
                  n % 16, "pad");
    return line;
}

LineCounter::~LineCounter()
{
    if (!m_mosq)
        return;
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, true);
    mosquitto_destroy(m_mosq);
}

bool LineCounter::start(int port, const std::string &filter)
{
    mosquitto_lib_init();
    m_filter = filter;
    m_mosq = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_reconnect_delay_set(m_mosq, 1, 1, false); // back soon after a broker restart
    mosquitto_connect_callback_set(m_mosq, &LineCounter::onConnect);
    mosquitto_subscribe_callback_set(m_mosq, &LineCounter::onSubscribe);
    mosquitto_message_v5_callback_set(m_mosq, &LineCounter::onMessage);
    if (mosquitto_connect_async(m_mosq, "127.0.0.1", port, 20) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_mosq) != MOSQ_ERR_SUCCESS)
        return false;
    return waitSubscribed(1, 10000);
}

int LineCounter::subscriptions()
{
    std::lock_guard lock(m_mutex);
    return m_subscriptions;
}

bool LineCounter::waitSubscribed(int count, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (subscriptions() < count) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

LineCounter::Topic LineCounter::topic(const std::string &name)
{
    std::lock_guard lock(m_mutex);
    return m_topics[name];
}

long LineCounter::distinct(const std::string &name)
{
    std::lock_guard lock(m_mutex);
    return m_topics[name].distinct;
}

void LineCounter::onConnect(mosquitto *mosq, void *self, int rc)
{
    if (rc == 0)
        mosquitto_subscribe(mosq, nullptr, static_cast<LineCounter *>(self)->m_filter.c_str(), 1);
}

void LineCounter::onSubscribe(mosquitto *, void *self, int, int, const int *)
{
    auto *counter = static_cast<LineCounter *>(self);
    std::lock_guard lock(counter->m_mutex);
    ++counter->m_subscriptions;
}

void LineCounter::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                            const mosquitto_property *properties)
{
    const auto now = Clock::now();
    auto *counter = static_cast<LineCounter *>(self);
    const std::string payload(static_cast<const char *>(message->payload),
                              size_t(message->payloadlen));
    const long n = std::atol(payload.c_str());
    char *name = nullptr, *value = nullptr;
    long position = n * 80;
    if (mosquitto_property_read_string_pair(properties, MQTT_PROP_USER_PROPERTY, &name, &value,
                                            false) &&
        std::strcmp(name, "position") == 0)
        position = std::atol(value);
    std::free(name);
    std::free(value);
    std::lock_guard lock(counter->m_mutex);
    Topic &topic = counter->m_topics[message->topic];
    if (n < 0 || position != n * 80 || payload + "\r\n" != benchLine(n)) {
        ++topic.faults;
        return;
    }
    if (size_t(n) >= topic.arrived.size())
        topic.arrived.resize(size_t(n) * 2 + 1024);
    if (topic.arrived[size_t(n)] != Clock::time_point{}) {
        ++topic.repeats;
        return;
    }
    topic.arrived[size_t(n)] = now;
    ++topic.distinct;
}
