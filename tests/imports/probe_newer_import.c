/* Imports a function that Windows XP lacks (it came with Vista). */
__declspec(dllimport) unsigned long long __stdcall GetTickCount64(void);

int main(void) {
    return (int)(GetTickCount64() & 1u);
}
