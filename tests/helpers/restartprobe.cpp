// Stands in for the restarted program: it only stays alive, for a minute at most, so that a test
// can find it through /proc and end it.
#include <chrono>
#include <thread>

int main()
{
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
}
