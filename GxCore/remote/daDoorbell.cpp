#include "GxCore/remote/daDoorbell.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "GxCore/remote/daSnapshot.h"
#include "outside/nats_bell.h"

namespace {

constexpr std::size_t kMaxManifestBytes = 1 << 20;

// The long-poll on the master's manifest.
class LongPollDoorbell final : public daDoorbell {
 public:
  LongPollDoorbell(std::string url, daDoorbellOptions options) : options_(std::move(options)) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    base_ = std::move(url) + "/manifest.json";
  }
  ~LongPollDoorbell() override { stop(); }

  bool start(Ring ring, std::function<unsigned long()> current, std::string&) override {
    if (thread_.joinable()) return true;
    ring_ = std::move(ring);
    current_ = std::move(current);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void stop() override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    answering_.store(false, std::memory_order_relaxed);
  }

  std::uint64_t requests() const override { return requests_.load(std::memory_order_relaxed); }
  bool answering() const override { return answering_.load(std::memory_order_relaxed); }

 private:
  struct Answer {
    long http = 0;
    std::string body;
    bool tooLarge = false;
  };

  static std::size_t onBody(char* data, std::size_t size, std::size_t n, void* user) {
    auto* a = static_cast<Answer*>(user);
    if (a->body.size() + size * n > kMaxManifestBytes) {
      a->tooLarge = true;
      return 0;
    }
    a->body.append(data, size * n);
    return size * n;
  }
  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<LongPollDoorbell*>(user)->stoppingNow() ? 1 : 0;
  }
  bool stoppingNow() {
    std::lock_guard<std::mutex> hold(mutex_);
    return stopping_;
  }

  void log(std::string const& line) {
    if (options_.log) options_.log(line);
  }

  // One held request; true when it was answered with a manifest.
  bool ask(CURL* c, unsigned long after, Answer& a, std::string& why) {
    std::string url = base_ + "?after=" + std::to_string(after) + "&wait=" + std::to_string(options_.waitSeconds);
    daHttpReplicaOptions const& h = options_.http;
    char errorText[CURL_ERROR_SIZE] = "";
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, h.connectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, (options_.waitSeconds + 10) * 1000L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, h.verifyTls ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, h.verifyTls ? 2L : 0L);
    if (!h.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, h.caFile.c_str());
    if (!h.clientCert.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, h.clientCert.c_str());
    if (!h.clientKey.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, h.clientKey.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &a);
    curl_slist* headers = nullptr;
    std::string auth = "Authorization: Bearer " + h.bearerToken;
    if (!h.bearerToken.empty()) headers = curl_slist_append(headers, auth.c_str());
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    requests_.fetch_add(1, std::memory_order_relaxed);
    CURLcode rc = curl_easy_perform(c);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(headers);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.http);
    if (rc != CURLE_OK) {
      why = a.tooLarge ? "the manifest is larger than 1 MiB" : *errorText ? errorText : curl_easy_strerror(rc);
      return false;
    }
    if (a.http != 200) {
      why = "HTTP " + std::to_string(a.http);
      return false;
    }
    return true;
  }

  // Sleeps for d unless stopped first; false when stopped.
  bool pause(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> hold(mutex_);
    return !wake_.wait_for(hold, d, [this] { return stopping_; });
  }

  void run() {
    std::unique_ptr<CURL, void (*)(CURL*)> c(curl_easy_init(), curl_easy_cleanup);
    std::chrono::milliseconds backoff{0};
    unsigned long rung = 0;
    bool failing = false;
    while (!stoppingNow()) {
      if (!c) {
        log("doorbell " + base_ + ": cannot make an HTTP handle");
        if (!pause(std::chrono::seconds(30))) return;
        c.reset(curl_easy_init());
        continue;
      }
      unsigned long after = std::max(current_(), rung);
      auto started = std::chrono::steady_clock::now();
      Answer a;
      std::string why;
      bool answered = ask(c.get(), after, a, why);
      if (stoppingNow()) return;
      daSnapshotManifest m;
      unsigned long st = 0;
      if (answered) {
        daSnapshotManifestParse(a.body, m, st);
        if (st != 0) {
          answered = false;
          why = "not a manifest";
        }
      }
      answering_.store(answered, std::memory_order_relaxed);
      if (!answered) {
        backoff = std::clamp(backoff * 2, std::chrono::milliseconds(200), std::chrono::milliseconds(30000));
        if (!failing) log("doorbell " + base_ + ": " + why + "; trying again with a growing delay");
        failing = true;
        if (!pause(backoff)) return;
        continue;
      }
      if (failing) log("doorbell " + base_ + ": answers again");
      failing = false;
      backoff = std::chrono::milliseconds(0);
      if (m.sequence > after) {
        rung = m.sequence;
        ring_(m.sequence);
      }
      // A server that does not hold requests (a plain file server) answers
      // at once: pace such answers to one per wait period.
      auto took = std::chrono::steady_clock::now() - started;
      if (m.sequence <= after && took < std::chrono::seconds(options_.waitSeconds) / 2 &&
          !pause(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::seconds(options_.waitSeconds) - took)))
        return;
    }
  }

  daDoorbellOptions options_;
  std::string base_;
  Ring ring_;
  std::function<unsigned long()> current_;
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<bool> answering_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // under mutex_
  std::thread thread_;
};

class NatsDoorbell final : public daDoorbell {
 public:
  NatsDoorbell(hxnats::Address address, daDoorbellOptions options)
      : address_(std::move(address)), options_(std::move(options)) {}
  ~NatsDoorbell() override { stop(); }

  bool start(Ring ring, std::function<unsigned long()>, std::string& error) override {
    if (listener_) return true;
    listener_ = std::make_unique<hxnats::Listener>(
        address_, [ring = std::move(ring)](std::uint64_t n) { ring(static_cast<unsigned long>(n)); }, options_.log);
    if (listener_->start(error)) return true;
    listener_.reset();
    return false;
  }
  void stop() override {
    if (listener_) listener_->stop();
  }
  std::uint64_t requests() const override { return listener_ ? listener_->received() : 0; }
  bool answering() const override { return listener_ && listener_->connected(); }

 private:
  hxnats::Address address_;
  daDoorbellOptions options_;
  std::unique_ptr<hxnats::Listener> listener_;
};

}  // namespace

std::unique_ptr<daDoorbell> daMakeDoorbell(std::string const& url, daDoorbellOptions options, std::string& error) {
  if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) {
    if (options.waitSeconds < 1) options.waitSeconds = 1;
    return std::make_unique<LongPollDoorbell>(url, std::move(options));
  }
  if (url.rfind("nats://", 0) == 0) {
    hxnats::Address address;
    if (!hxnats::parseUrl(url, address, error)) return nullptr;
    return std::make_unique<NatsDoorbell>(std::move(address), std::move(options));
  }
  error = "\"" + url + "\" is not a doorbell: give the master's http(s):// URL or nats://HOST:PORT/SUBJECT";
  return nullptr;
}
