// The memory the host code lives in: mapped writable, written by the
// emitter (native/emitter.h), linked, then made executable and read-only.
// Builds without host code keep only the answers that there is none.
#include "core/native_code.h"

#if TT_NATIVE_CODE
#include <sys/mman.h>
#include <unistd.h>

#include "core/native/emitter.h"
#endif

namespace tt {

NativeCode::NativeCode(std::shared_ptr<const TranslatedCode> translation, const std::vector<uint16_t>&)
    : translation_(std::move(translation)), checked_(0x8000), body_(0x8000) {}

NativeCode::~NativeCode() {
#if TT_NATIVE_CODE
  if (mapping_) munmap(mapping_, mapping_size_);
#endif
}

#if !TT_NATIVE_CODE

bool native_code_supported() { return false; }

std::shared_ptr<const NativeCode> build_native_code(std::shared_ptr<const TranslatedCode>,
                                                    const std::vector<uint16_t>&) {
  return nullptr;
}

#else

bool native_code_supported() { return true; }

static_assert(offsetof(NativeFrame, dots) == 0 && offsetof(NativeFrame, limit) == 8);

std::shared_ptr<const NativeCode> build_native_code(std::shared_ptr<const TranslatedCode> translation,
                                                    const std::vector<uint16_t>& stop_pcs) {
  if (!translation) return nullptr;
  auto native = std::make_shared<NativeCode>(translation, stop_pcs);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t size = size_t{8} << 20;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  native->mapping_ = memory;
  native->mapping_size_ = size;
  try {
    native_detail::Emitter e(size, memory, *translation, stop_pcs);
    e.emit_all();
    e.ready();
    uint8_t* const code = static_cast<uint8_t*>(memory);
    if (e.getCode() != code || !e.link(code)) return nullptr;
    for (unsigned i = 0; i < 0x8000; ++i) {
      native->checked_[i] = code + e.checked_offset(i);
      native->body_[i] = code + e.body_offset(i);
    }
    native->enter_ = reinterpret_cast<uint32_t (*)(NativeFrame*, const void*)>(code + e.enter_offset());
    native->code_size_ = e.getSize();
  } catch (const Xbyak::Error&) {
    return nullptr;
  }
  // Give back the pages past the code, then make the code executable (and no
  // longer writable).
  const size_t used = (native->code_size_ + page - 1) / page * page;
  if (used < size) {
    munmap(static_cast<uint8_t*>(memory) + used, size - used);
    native->mapping_size_ = used;
  }
  if (mprotect(memory, native->mapping_size_, PROT_READ | PROT_EXEC) != 0) return nullptr;
  return native;
}

#endif

}  // namespace tt
