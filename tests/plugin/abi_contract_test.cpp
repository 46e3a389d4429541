// The binary contract between the controller and the plug-in: record layout,
// the single address of the class chain and the virtual slot order. A change
// here breaks every controller built against the old layout.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "drivers/zota_up2200/zota_up2200.h"

namespace {

// ---- record ----------------------------------------------------------------

struct FieldLayout {
  const char* name;
  std::size_t offset;
  std::size_t size;
  std::size_t want_offset;
  std::size_t want_size;
};

#define ZOTA_FIELD(f, off, len) \
  FieldLayout { #f, offsetof(ZOTA_UP2200_Data_t, f), sizeof(ZOTA_UP2200_Data_t::f), off, len }

TEST(AbiContractTest, RecordFieldsAtFixedOffsets) {
  const FieldLayout fields[] = {
      ZOTA_FIELD(data_id, 0, 4),      ZOTA_FIELD(value0, 4, 2),  ZOTA_FIELD(value1, 6, 2),
      ZOTA_FIELD(value2, 8, 2),       ZOTA_FIELD(value3, 10, 2), ZOTA_FIELD(value4, 12, 2),
      ZOTA_FIELD(value5, 14, 2),      ZOTA_FIELD(value6, 16, 2), ZOTA_FIELD(state, 18, 1),
      ZOTA_FIELD(update_time, 19, 7),
  };
  for (const FieldLayout& f : fields) {
    EXPECT_EQ(f.offset, f.want_offset) << f.name;
    EXPECT_EQ(f.size, f.want_size) << f.name;
  }
  EXPECT_EQ(sizeof(ZOTA_UP2200_Data_t), 26u);
  EXPECT_EQ(alignof(ZOTA_UP2200_Data_t), 1u);  // any byte buffer may hold one
}

#undef ZOTA_FIELD

// ---- class chain -----------------------------------------------------------

using DataDevice = UniDataDevice<ZOTA_UP2200_Data_t, QDXSPDevice, zota::kRecordType>;

TEST(AbiContractTest, EveryClassOfTheChainSharesTheDeviceAddress) {
  auto dev = std::make_unique<ZOTA_UP2200>();
  const void* at = dev.get();
  EXPECT_EQ(static_cast<const void*>(static_cast<DataDevice*>(dev.get())), at);
  EXPECT_EQ(static_cast<const void*>(static_cast<QDXSPDevice*>(dev.get())), at);
  EXPECT_EQ(static_cast<const void*>(static_cast<QDXVDevice*>(dev.get())), at);
  EXPECT_EQ(static_cast<const void*>(static_cast<VDeviceInterface*>(dev.get())), at);
}

TEST(AbiContractTest, ProvidersAreOnlyAVirtualTablePointer) {
  ZOTA_UP2200Provider provider;
  EXPECT_EQ(sizeof(ZOTA_UP2200Provider), sizeof(void*));
  EXPECT_EQ(static_cast<const void*>(static_cast<Provider*>(&provider)), &provider);
  EXPECT_EQ(static_cast<const void*>(static_cast<QDXSPDeviceProvider*>(&provider)), &provider);
}

// ---- virtual slots ---------------------------------------------------------

// Itanium C++ ABI: a pointer to a virtual member function holds its byte offset
// in the virtual table. Generic targets store offset + 1 in the pointer word;
// ARM keeps the offset there and the "virtual" flag in the adjustment's low bit.
struct Slot {
  bool is_virtual;
  std::ptrdiff_t this_adjust;
  std::size_t entry;  // index into the virtual table, from its address point
};

template <typename MemFn>
Slot SlotOf(MemFn fn) {
  struct Rep {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(MemFn) == sizeof(Rep), "not an Itanium member function pointer");
  std::memcpy(&rep, &fn, sizeof(rep));
#if defined(__arm__) || defined(__aarch64__)
  const bool is_virtual = (rep.adj & 1) != 0;
  const std::uintptr_t offset = rep.ptr;
  const std::ptrdiff_t adjust = rep.adj >> 1;
#else
  const bool is_virtual = (rep.ptr & 1) != 0;
  const std::uintptr_t offset = rep.ptr - 1;
  const std::ptrdiff_t adjust = rep.adj;
#endif
  return Slot{is_virtual, adjust, static_cast<std::size_t>(offset / sizeof(void*))};
}

struct SlotRow {
  int order;  // position in the framework's list of virtual operations
  const char* name;
  Slot slot;
};

// The destructor is operation 9 and takes two entries (complete and deleting),
// so every later operation sits one entry further than its order.
constexpr int kDestructorOrder = 9;
std::size_t EntryOf(int order) {
  return order < kDestructorOrder ? static_cast<std::size_t>(order - 1)
                                  : static_cast<std::size_t>(order);
}

#define ZOTA_SLOT(order, type, fn) \
  SlotRow { order, #fn, SlotOf(static_cast<type>(&ZOTA_UP2200::fn)) }

using D = ZOTA_UP2200;
const SlotRow kDeviceSlots[] = {
    ZOTA_SLOT(1, double (D::*)(unsigned int, const std::string&) const, Get_Value),
    ZOTA_SLOT(2, int (D::*)(const std::string&), LoadFromCache),
    ZOTA_SLOT(3, int (D::*)(const unsigned char*, int), LoadFromCache),
    ZOTA_SLOT(4, unsigned int (D::*)() const, DataId),
    ZOTA_SLOT(5, const std::string& (D::*)() const, DeviceType),
    ZOTA_SLOT(6, int (D::*)(int, const void*, int, void*, int, int&), DeviceIoControl),
    ZOTA_SLOT(7, void (D::*)(), RoundDone),
    ZOTA_SLOT(8, bool (D::*)(), UseControllerDb),
    ZOTA_SLOT(10, void (D::*)(), Reset),
    ZOTA_SLOT(11, bool (D::*)(QDXVDevice*, unsigned int, const Json::Value&), InitV),
    ZOTA_SLOT(12, bool (D::*)(std::weak_ptr<QDXController>, unsigned int, const Json::Value&),
              Init),
    ZOTA_SLOT(13, bool (D::*)(const Json::Value&), InitSetting),
    ZOTA_SLOT(14, bool (D::*)(const std::string&) const, IsSupportDevice),
    ZOTA_SLOT(15, std::shared_ptr<QDXVDevice> (D::*)(unsigned int), GetChildVDevice),
    ZOTA_SLOT(16, std::vector<std::shared_ptr<QDXVDevice>> (D::*)(), GetAllChildVDevices),
    ZOTA_SLOT(17, bool (D::*)(int, const unsigned char*, unsigned int, bool), SendSP),
    ZOTA_SLOT(18, int (D::*)(int), SendDelayData),
    ZOTA_SLOT(19, int (D::*)(int, char), SendDoData),
    ZOTA_SLOT(20, int (D::*)(int), ReadDi),
    ZOTA_SLOT(21, double (D::*)(int), ReadAi),
    ZOTA_SLOT(22, double (D::*)(unsigned int, const std::string&), Get_SP_Value),
    ZOTA_SLOT(23, int (D::*)(), RefreshStatus),
    ZOTA_SLOT(24, int (D::*)(unsigned char*, unsigned int), process),
    ZOTA_SLOT(25, bool (D::*)(), IsProcessing),
    ZOTA_SLOT(26, bool (D::*)(), IsStalled),
    ZOTA_SLOT(27, int (D::*)(const unsigned char*, unsigned int), SendData),
    ZOTA_SLOT(28, int (D::*)(const unsigned char*, unsigned int, EnumParity), SendParityData),
    ZOTA_SLOT(29, bool (D::*)(), OpenPort),
    ZOTA_SLOT(30, void (D::*)(), ClosePort),
    ZOTA_SLOT(31, void (D::*)(), RunCheckThreshold),
};

#undef ZOTA_SLOT

TEST(AbiContractTest, DeviceOperationsInFrameworkSlotOrder) {
  ASSERT_EQ(sizeof(kDeviceSlots) / sizeof(kDeviceSlots[0]), 30u);  // all but the destructor
  for (const SlotRow& row : kDeviceSlots) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(row.slot.is_virtual);
    EXPECT_EQ(row.slot.this_adjust, 0);
    EXPECT_EQ(row.slot.entry, EntryOf(row.order)) << "operation " << row.order;
  }
}

TEST(AbiContractTest, ProviderCreateSlotFollowsTheDestructor) {
  const Slot create = SlotOf(&QDXSPDeviceProvider::create);
  EXPECT_TRUE(create.is_virtual);
  EXPECT_EQ(create.entry, 2u);
  EXPECT_EQ(SlotOf(&ZOTA_UP2200Provider::create).entry, 2u);
}

}  // namespace
