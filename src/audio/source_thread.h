#pragma once

// Starting the thread of a file, standard-input or UDP sample source.

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "invariant.h"
#include "result.h"

namespace audio {

// Starts a thread named `name` (at most 15 bytes) that runs `body`, which owns
// all it touches. Nothing thrown by `body` leaves the thread: it is reported on
// standard error and the thread ends. A thread that cannot start gives the
// system's text, and `body` (with all it holds) is destroyed.
template <class Body>
Result<std::thread> start_source_thread(const char* name, Body body) {
    auto top = [name, body = std::move(body)]() mutable {
        // A name the system refuses leaves the thread unnamed, nothing more.
        pthread_setname_np(pthread_self(), name);
        try {
            body();
        } catch (const invariant::BrokenInvariant&) {
            // Already reported.
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillmar-modem: %s: %s\n", name, e.what());
        } catch (...) {
            std::fprintf(stderr, "quillmar-modem: %s: unknown exception\n", name);
        }
    };
    try {
        return std::thread(std::move(top));
    } catch (const std::system_error& e) {
        return Error{e.code().message()};
    } catch (const std::exception& e) {
        return Error{e.what()};
    }
}

}  // namespace audio
