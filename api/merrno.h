// The error-number out-value of the daemon-side constructors.
#ifndef TNMIBD_API_MERRNO_H_
#define TNMIBD_API_MERRNO_H_

// A constructor that receives an MErrno* sets it to 0 first and to its error
// code when it fails; the caller tests it after construction.
typedef int MErrno;

#endif  // TNMIBD_API_MERRNO_H_
