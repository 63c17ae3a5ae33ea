/* SPDX-License-Identifier: Apache-2.0 */
// diagctl's MQTT clients, over libmosquitto: the broker's address,
// credentials and TLS as mosquitto_pub takes them; a publisher for
// diagctl record that never makes its caller wait (a bounded queue whose
// oldest records are dropped first, counted) and marks its host online,
// and offline by its last will; and a subscriber for diagctl serve. Each
// client runs libmosquitto on one thread of its own, which alone calls
// into the library, and reconnects after a lost connection with a backoff
// that doubles up to a limit. Neither takes a packet from the broker
// larger than it needs, whatever the packet's header announces: such a
// packet ends the connection. Log lines go to the tool log.
#ifndef TOOLS_DIAGCTL_MQTT_H
#define TOOLS_DIAGCTL_MQTT_H

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace diagctl {

struct BrokerOptions {
    std::string host;
    int port = 0;  // 0: 1883, or 8883 with TLS
    bool tls = false;
    std::string username, password;
    // TLS, as mosquitto_pub's options: a CA file or directory (none: the
    // system's), a client certificate and its key, the lowest version
    // (tlsv1.2, tlsv1.3; "" the library's), and whether the broker's name
    // goes unchecked against its certificate.
    std::string cafile, capath, certfile, keyfile, tls_version;
    bool insecure = false;
    int keepalive_s = 30;
    // Waits before reconnecting: the first, doubled after each failure up
    // to the last. They start again from the first only once a connection
    // has held for stable_s (a broker that accepts and drops at once
    // does not make the client try again and again).
    double retry_min_s = 0.5, retry_max_s = 30, stable_s = 30;
};

// Parses "mqtt://HOST[:PORT]" and "mqtts://HOST[:PORT]" (TLS; HOST may be
// an [IPv6] literal) into *out. False with the reason in *error.
bool ParseBrokerUrl(const std::string &url, BrokerOptions *out, std::string *error);

// Reads a password from the first line of a regular file (at most 4 KiB;
// the newline is not part of it). False with the reason in *error; a file
// that others may read is taken, with a warning in *warning.
bool ReadPasswordFile(const std::string &path, std::string *password, std::string *error,
                      std::string *warning);

// Checks that the options make sense together (a certificate needs its
// key, TLS options need TLS, the files are readable). False with the
// reason in *error.
bool CheckBrokerOptions(const BrokerOptions &options, std::string *error);

// The connection thread that both clients share; see Mqtt.cpp.
class MqttLink;

struct PublisherOptions {
    BrokerOptions broker;
    std::string prefix = "diagctl";  // topics: PREFIX/HOST/COMMAND, PREFIX/HOST/status
    std::string host;                // this host's name in the topics
    int qos = 1;
    std::size_t queue = 1000;  // records waiting for the broker, at most
};

struct PublisherStats {
    uint64_t published = 0;  // handed to Publish()
    uint64_t delivered = 0;  // QoS 1: acknowledged by the broker; QoS 0: written to it
    uint64_t dropped = 0;    // pushed out of a full queue, oldest first
    uint64_t lost = 0;       // QoS 0 only: written to a connection that then broke
    uint64_t waiting = 0;    // in the queue or sent and not yet acknowledged
    uint64_t connects = 0;   // successful connections
    bool connected = false;
};

// Non-copyable. Stop() (or the destructor) ends the thread.
class MqttPublisher {
  public:
    explicit MqttPublisher(PublisherOptions options);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher &) = delete;
    MqttPublisher &operator=(const MqttPublisher &) = delete;

    // Sets the client up and starts its thread, which connects in the
    // background. False with the reason in *error for options the library
    // refuses.
    bool Start(std::string *error);
    // Queues a record for PREFIX/HOST/command. Never waits for the broker:
    // when the queue is full the oldest record waiting is dropped.
    void Publish(const std::string &command, std::string record);
    // Marks the host offline ("stopped"), then waits up to drain_s while
    // connected for what is queued to be delivered, disconnects and ends
    // the thread. The figures at the end.
    PublisherStats Stop(double drain_s);
    PublisherStats stats() const;

  private:
    friend class MqttLink;
    struct Message {
        std::string topic, payload;
    };
    // Called on the link's thread.
    void OnConnect();
    void OnDisconnect();
    void OnPublished(int mid);
    void Pump();
    void Trim();  // drops the oldest beyond the queue's size; mu_ held

    PublisherOptions opt_;
    std::unique_ptr<MqttLink> link_;
    mutable std::mutex mu_;  // guards the queue and the figures
    std::deque<Message> queue_;
    uint64_t inflight_ = 0;          // records handed to the library, not yet delivered
    std::vector<int> status_mids_;   // the online/offline messages' ids (not records)
    uint64_t dropped_reported_ = 0;  // dropped, as last logged
    bool drop_warned_ = false;       // the queue's overflow logged since the last connect
    PublisherStats stats_;
};

// Non-copyable. Stop() (or the destructor) ends the thread.
class MqttSubscriber {
  public:
    // handler gets each message's topic and payload, on the client's
    // thread. max_payload: larger messages are not accepted (the broker is
    // asked not to send them; a connection on which one comes anyway is
    // closed before much more than max_payload of it is read).
    using Handler = std::function<void(const std::string &topic, const std::string &payload)>;
    MqttSubscriber(BrokerOptions options, std::string filter, std::size_t max_payload,
                   Handler handler);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // Subscribes to filter (again after each reconnect). False with the
    // reason in *error for options the library refuses.
    bool Start(std::string *error);
    void Stop();
    // Messages dropped for their size (each also ends its connection).
    uint64_t oversized() const;

  private:
    friend class MqttLink;
    void OnConnect();
    void OnMessage(const mosquitto_message *message);

    BrokerOptions broker_;
    std::string filter_;
    std::size_t max_payload_;
    Handler handler_;
    std::unique_ptr<MqttLink> link_;
    mutable std::mutex mu_;
    uint64_t oversized_ = 0;
};

}  // namespace diagctl

#endif
