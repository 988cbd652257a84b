/* Imports from a DLL the tool must not need. */
__declspec(dllimport) long __stdcall RegCloseKey(void *key);

int main(void) {
    return (int)RegCloseKey(0);
}
