#include "Compress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <numeric>
#include <thread>

namespace sparlin::pack {

namespace {
struct Stopped {};
} // namespace

std::vector<Payload> CompressAll(const std::vector<Input>& inputs, unsigned threads, Progress* progress) {
    std::vector<CheckedInput> checked;
    for (const Input& in : inputs)
        checked.push_back(CheckInput(in.path, in.shownName, in.kind));
    const size_t n = checked.size();
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return checked[a].size > checked[b].size; });

    threads = std::max(threads, 1u);
    const size_t workers = std::min<size_t>(n, threads);
    std::vector<unsigned> encoderThreads(n, 1);
    for (size_t i = 0, spare = threads - workers; i < n && spare; ++i, --spare)
        encoderThreads[order[i]] = 2;
    uint64_t rest = 0;
    for (size_t i = 1; i < n; ++i)
        rest += checked[order[i]].size;
    if (threads >= 2 && n && checked[order[0]].size > rest)
        encoderThreads[order[0]] = 2;

    if (progress) {
        std::vector<std::string> names;
        std::vector<uint64_t> sizes;
        for (const CheckedInput& c : checked) {
            names.push_back(c.shownName);
            sizes.push_back(c.size);
        }
        progress->Begin(names, sizes);
    }

    std::vector<Payload> payloads(n);
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0, running = 0;
    std::exception_ptr failure;
    auto work = [&] {
        for (;;) {
            size_t k;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (next == n || stop)
                    break;
                k = order[next++];
            }
            try {
                payloads[k] = Compress(checked[k], encoderThreads[k], [&, k](uint64_t done) {
                    if (stop)
                        throw Stopped{};
                    if (progress)
                        progress->Advanced(k, done);
                });
                checked[k].file.reset();
                if (progress)
                    progress->Finished(k, payloads[k].compressed.size());
            } catch (const Stopped&) {
                break;
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure)
                    failure = std::current_exception();
                stop = true;
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        changed.notify_all();
    };

    std::vector<std::thread> pool;
    try {
        for (size_t w = 0; w < workers; ++w) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++running;
            }
            try {
                pool.emplace_back(work);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                --running;
                throw;
            }
        }
    } catch (...) {
        stop = true;
        for (std::thread& t : pool)
            t.join();
        throw;
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running) {
            changed.wait_for(lock, std::chrono::milliseconds(250));
            if (progress && running) {
                lock.unlock();
                progress->Tick();
                lock.lock();
            }
        }
    }
    for (std::thread& t : pool)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
    return payloads;
}

} // namespace sparlin::pack
