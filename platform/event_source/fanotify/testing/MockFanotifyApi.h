#pragma once

#include <gmock/gmock.h>

#include "platform/event_source/fanotify/FanotifyApi.h"

namespace zorva {

class MockFanotifyApi : public FanotifyApi {
 public:
  MOCK_METHOD(int, init, (unsigned flags, unsigned eventFlags), (override));
  MOCK_METHOD(int, mark, (int group, unsigned flags, uint64_t mask, const std::string& path),
              (override));
  MOCK_METHOD(ssize_t, read, (int fd, void* buffer, size_t size), (override));
  MOCK_METHOD(int, close, (int fd), (override));
  MOCK_METHOD(int, fstat, (int fd, struct stat* status), (override));
  MOCK_METHOD(int, stat, (const std::string& path, struct stat* status), (override));
  MOCK_METHOD(int, openByHandle, (int mountFd, const std::vector<unsigned char>& handle),
              (override));
  MOCK_METHOD(int, openPath, (const std::string& path), (override));
  MOCK_METHOD(std::optional<std::string>, readLink, (const std::string& path), (override));
  MOCK_METHOD(std::optional<std::string>, readFile, (const std::string& path), (override));
  MOCK_METHOD(std::optional<uint64_t>, filesystemId, (int fd), (override));
  MOCK_METHOD(std::optional<std::vector<unsigned char>>, handleOf, (const std::string& path),
              (override));
  MOCK_METHOD(std::optional<std::vector<std::string>>, subfolders, (const std::string& folder),
              (override));
  MOCK_METHOD(ssize_t, readAt, (int fd, void* buffer, size_t size, off_t offset), (override));
  MOCK_METHOD(int, openProcessConnector, (), (override));
  MOCK_METHOD(ssize_t, receive, (int fd, void* buffer, size_t size), (override));
  MOCK_METHOD(std::optional<std::vector<pid_t>>, processIds, (), (override));
  MOCK_METHOD(uint64_t, monotonicNanoseconds, (), (override));
};

}  // namespace zorva
