// Hands launch requests to the running instance through files in the
// request directory, and reads them back there. Writers are later launches,
// the reader is the lock holder.
#pragma once

#include "duplicate_launch_request.h"
#include "single_instance_configuration.h"

class DuplicateLaunchRequestStore {
public:
    // Writes the request (unless it is empty) and always posts the activation
    // signal; a write error is thrown after the signal has gone out.
    static void post(const DuplicateLaunchRequest &request, const SingleInstanceConfiguration &configuration);

    // Every readable request younger than a minute, oldest first; every
    // *.json file is deleted, read or not. A missing directory, or one that
    // is a link, gives an empty list.
    static QList<DuplicateLaunchRequest> consumePending(const SingleInstanceConfiguration &configuration);

    static constexpr int kMaxRequestAgeSeconds = 60;

private:
    static void enqueue(const DuplicateLaunchRequest &request, const SingleInstanceConfiguration &configuration);
};

// The request directory could not be written; errno-style code and text.
class RequestWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
