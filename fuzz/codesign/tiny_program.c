/* The smallest program worth signing: the seed of fuzz_elf_file. */
void _start(void) {
  for (;;) {
  }
}
