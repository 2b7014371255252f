// Helpers of the model tests (the test database is in support/).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/test_database.h"
#include "model/client_object.h"
#include "model/script_storage.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"

namespace qv::test {

// A connected player record with the given id and privileges.
inline std::unique_ptr<TClientRec> MakePlayer(uint32_t id, uint16_t playerPrivileges = 0,
                                              int32_t storageClientId = 0) {
  auto rec = NewClient();
  rec->PlayerId = id;
  rec->PlayerPrivileges = playerPrivileges;
  rec->StorageClientId = storageClientId;
  rec->NickName = "player" + std::to_string(id);
  return rec;
}

}  // namespace qv::test
