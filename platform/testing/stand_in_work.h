// The stand-ins for the card service and the CT-API driver mark their own
// work, so that the allocation test can leave out their blocks; only a
// program that defines MlTestStandInWork sees the marks.
#ifndef ML_PLATFORM_TESTING_STAND_IN_WORK_H_
#define ML_PLATFORM_TESTING_STAND_IN_WORK_H_

// +1 when the work of a stand-in starts, -1 when it ends.
extern "C" __attribute__((weak)) void MlTestStandInWork(int p_nChange);

namespace mltest {

class StandInWork {
  public:
    StandInWork() { Mark(1); }
    ~StandInWork() { Mark(-1); }
    StandInWork(const StandInWork&) = delete;
    StandInWork& operator=(const StandInWork&) = delete;

  private:
    static void Mark(int p_nChange) {
        if (MlTestStandInWork != nullptr) {
            MlTestStandInWork(p_nChange);
        }
    }
};

}  // namespace mltest

#endif  // ML_PLATFORM_TESTING_STAND_IN_WORK_H_
