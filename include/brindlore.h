/*
 * brindlore: the plain C interface of the brindlore_core tokenizer engine.
 *
 * The functions are declared here as the C interface grows; every function
 * reports failure through its return value and never unwinds into the caller.
 */
#ifndef BRINDLORE_H
#define BRINDLORE_H

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* BRINDLORE_H */
