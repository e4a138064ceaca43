/* Export and layout helpers shared by the public headers. */
#ifndef UPFW_EXPORT_H
#define UPFW_EXPORT_H

#if defined(UPFW_BUILDING)
#define UPFW_API __attribute__((visibility("default")))
#else
#define UPFW_API
#endif

#ifdef __cplusplus
#define UPFW_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define UPFW_EXTERN_C_BEGIN extern "C" {
#define UPFW_EXTERN_C_END }
#else
#define UPFW_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define UPFW_EXTERN_C_BEGIN
#define UPFW_EXTERN_C_END
#endif

#endif
