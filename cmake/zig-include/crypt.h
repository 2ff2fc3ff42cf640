/* Python 3.8's Python.h includes <crypt.h> for crypt_r(), which the module
   never calls. The cross toolchain's C library headers have no crypt.h
   (libcrypt is a separate library), so this empty stand-in satisfies the
   include. */
